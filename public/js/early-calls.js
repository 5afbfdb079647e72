// Calls from the program that arrive before the page's modules have run wait here. The window
// can report its first load as finished while module scripts are still loading, and the
// program does not call twice: the headband's first status and the music library's first
// progress would be lost. A classic script, so that it runs before any module.
(function () {
  'use strict';
  var names = ['solveraMusicLibraryDownloadStatus', 'solveraMusicLibraryInstalled', 'solveraSessionFileImported',
    'solveraSessionFileExported', 'solveraClipboardText', 'solveraMuseBridgeEvents'];
  var queue = [];
  names.forEach(function (name) {
    var wait = function () { queue.push([name, Array.prototype.slice.call(arguments)]); };
    wait.early = true;
    window[name] = wait;
  });
  // The page takes the waiting calls once its own functions are in place.
  window.solveraTakeEarlyCalls = function () {
    var taken = queue;
    queue = [];
    return taken;
  };
}());
