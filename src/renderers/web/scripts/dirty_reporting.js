// Dirty reporting: page code tells the host which region of the view changed, so that only that
// region is copied.
(function () {
  'use strict';
  var post = function (text) {
    try {
      var wv = window.chrome && window.chrome.webview;
      if (wv && typeof wv.postMessage === 'function') wv.postMessage(text);
    } catch (e) {}
  };
  window.__vyoMarkDirtyRect = function (x, y, w, h) {
    try {
      x = Math.floor(Number(x));
      y = Math.floor(Number(y));
      w = Math.ceil(Number(w));
      h = Math.ceil(Number(h));
      if (!(w > 0 && h > 0) || !isFinite(x) || !isFinite(y) || !isFinite(w) || !isFinite(h)) return;
      post('\u0001vyo-dirty ' + x + ' ' + y + ' ' + w + ' ' + h);
    } catch (e) {}
  };
  window.__vyoMarkDirty = function (element) {
    try {
      if (!element || typeof element.getBoundingClientRect !== 'function') return;
      var r = element.getBoundingClientRect();
      window.__vyoMarkDirtyRect(r.left, r.top, r.width, r.height);
    } catch (e) {}
  };
  window.__vyoMarkDirtyFull = function () { post('\u0001vyo-dirty-full'); };
})();
