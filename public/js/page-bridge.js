// The page's side of the script contract in one place (the program's side is
// src/platform/page_bridge.hpp): the page functions the program calls and the script messages
// the page posts. The page's modules hand their functions to register(); a
// notification that arrives before its function is registered waits here. The window can
// report its first load as finished while module scripts are still loading, and the program
// does not call twice: the headband's first status and the music library's first progress
// would be lost. A classic script, so that it runs before any module.
(function (win) {
  'use strict';
  var NOTIFICATIONS = ['solveraMusicLibraryDownloadStatus', 'solveraMusicLibraryInstalled', 'solveraSessionFileImported',
    'solveraSessionFileExported', 'solveraClipboardText', 'solveraMuseBridgeEvents'];
  // Until the page has these, the program clicks the buttons itself and asks again, so they do
  // not wait here.
  var TOGGLES = ['toggleBreathingCoaching', 'toggleBlackout'];
  // The script messages the page may post (js/native.js refuses any other name).
  var MESSAGES = ['musicLibrary', 'sessionFiles', 'clipboard', 'analysisPrint', 'museBridge', 'editingFocus'];
  var queue = [];
  NOTIFICATIONS.forEach(function (name) {
    var wait = function () { queue.push([name, Array.prototype.slice.call(arguments)]); };
    wait.early = true;
    win[name] = wait;
  });

  // handlers: page function name -> function. The calls waiting for the functions now in place
  // run in the order the program made them; the others go on waiting.
  function register(handlers) {
    Object.keys(handlers).forEach(function (name) {
      if (NOTIFICATIONS.indexOf(name) < 0 && TOGGLES.indexOf(name) < 0) throw new Error('unknown page function: ' + name);
      if (typeof handlers[name] !== 'function') throw new Error('not a function: ' + name);
      win[name] = handlers[name];
    });
    var waiting = queue;
    queue = [];
    waiting.forEach(function (call) {
      var fn = win[call[0]];
      if (fn.early) { queue.push(call); return; }
      try { fn.apply(win, call[1]); } catch (e) { /* one bad call must not stop the page */ }
    });
  }

  win.solveraPageBridge = {
    register: register,
    notifications: NOTIFICATIONS.slice(),
    toggles: TOGGLES.slice(),
    messages: MESSAGES.slice(),
  };
}(window));
