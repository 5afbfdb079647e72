// Random tokens from the kernel's generator.
#pragma once

#include <string>

namespace solvera {

// 32 lowercase hexadecimal digits (128 bits from getrandom).
std::string randomHexToken();

// Compares two texts in time that depends only on their lengths.
bool constantTimeEquals(const std::string& a, const std::string& b);

}  // namespace solvera
