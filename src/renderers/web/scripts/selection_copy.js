// Selection copy: tells the host what text is selected, so that the host can copy it.
(function () {
  'use strict';
  if (window.__vyoSelCopyInited) return;
  window.__vyoSelCopyInited = true;
  var MAX_CHARS = 8192;
  var last = null;
  var deepActive = function () {
    var el = document.activeElement;
    while (el && el.shadowRoot && el.shadowRoot.activeElement) el = el.shadowRoot.activeElement;
    return el;
  };
  var selectedText = function () {
    var el = deepActive();
    if (el && (el.tagName === 'INPUT' || el.tagName === 'TEXTAREA')) {
      try {
        var start = el.selectionStart, end = el.selectionEnd;
        if (typeof start === 'number' && typeof end === 'number' && end > start) {
          return String(el.value).substring(start, end);
        }
      } catch (e) {}
    }
    var sel = window.getSelection ? window.getSelection() : null;
    if (sel && !sel.isCollapsed && sel.rangeCount > 0) return String(sel.toString());
    return '';
  };
  var report = function () {
    try {
      var text = selectedText();
      if (text.length > MAX_CHARS) text = text.substring(0, MAX_CHARS);
      var payload = text.length > 0 ? '\u0001vyo-sel 1 ' + text : '\u0001vyo-sel 0';
      if (payload === last) return;
      var wv = window.chrome && window.chrome.webview;
      if (!wv || typeof wv.postMessage !== 'function') return;
      wv.postMessage(payload);
      last = payload;
    } catch (e) {}
  };
  document.addEventListener('selectionchange', report, true);
  document.addEventListener('mouseup', report, true);
  document.addEventListener('keyup', report, true);
  report();
})();
