// Compiles the test programs' shared precompiled headers; it has no code of its own.
