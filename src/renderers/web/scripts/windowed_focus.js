// Windowed focus: in the windowed presentation the page can give the keyboard back to the game, and
// the host can park focus inside the current panel without a field taking the keys.
(function () {
  'use strict';
  if (window.__vyoWindowedFocusInited) return;
  window.__vyoWindowedFocusInited = true;

  var SENTINEL_ID = '__vyo_focus_sentinel';
  var NON_TEXT_TYPES = { button: 1, checkbox: 1, radio: 1, submit: 1, reset: 1, file: 1, hidden: 1, image: 1,
                         range: 1, color: 1 };
  var shell = null;
  var composing = false;

  var deepActiveElement = function () {
    var el = document.activeElement;
    while (el && el.shadowRoot && el.shadowRoot.activeElement) el = el.shadowRoot.activeElement;
    return el;
  };

  var isEditable = function (el) {
    if (!el || el.nodeType !== 1) return false;
    if (el.isContentEditable) return true;
    if (el.tagName === 'TEXTAREA') return !el.disabled && !el.readOnly;
    if (el.tagName === 'INPUT') {
      if (el.disabled || el.readOnly) return false;
      return !NON_TEXT_TYPES[String(el.type || 'text').toLowerCase()];
    }
    return false;
  };

  // The outermost element below the body, from `el` up, that is at least 80 x 80 CSS pixels.
  var computeShell = function (el) {
    var body = document.body;
    if (!body || !el || el.nodeType !== 1 || !body.contains(el)) return body;
    var outer = null;
    for (var n = el; n && n !== body; n = n.parentElement) {
      var r = n.getBoundingClientRect();
      if (r.width >= 80 && r.height >= 80) outer = n;
    }
    return outer || body;
  };

  var present = function (el) {
    if (!el || !el.isConnected) return false;
    for (var n = el; n && n.nodeType === 1; n = n.parentElement) {
      var style = window.getComputedStyle(n);
      if (style.display === 'none' || style.visibility === 'hidden' || style.visibility === 'collapse') return false;
    }
    if (el.getClientRects().length === 0) return false;
    var r = el.getBoundingClientRect();
    return r.width > 0 && r.height > 0;
  };

  document.addEventListener('focusin', function (event) {
    try { shell = computeShell(event.target); } catch (e) {}
  }, true);
  document.addEventListener('focusout', function (event) {
    if (event.relatedTarget) return;
    try { shell = computeShell(event.target); } catch (e) {}
  }, true);
  document.addEventListener('compositionstart', function () { composing = true; }, true);
  document.addEventListener('compositionend', function () { composing = false; }, true);

  window.vyo = window.vyo || {};
  window.vyo.releaseFocus = function () {
    try {
      var el = deepActiveElement();
      if (el && el !== document.body && typeof el.blur === 'function') el.blur();
    } catch (e) {}
    try {
      var wv = window.chrome && window.chrome.webview;
      if (wv && typeof wv.postMessage === 'function') wv.postMessage('\u0001vyo-release-focus');
    } catch (e) {}
  };

  window.__vyoKeepOverlayFocus = function (force) {
    try {
      if (composing && !force) return;
      var focused = deepActiveElement();
      if (!force && isEditable(focused)) return;
      if (force && focused && focused !== document.body && focused !== document.documentElement) {
        shell = computeShell(focused);
      }
      if (!force && shell && !present(shell)) return;
      var parent = shell || document.body;
      if (!parent) return;
      var sentinel = document.getElementById(SENTINEL_ID);
      if (!sentinel) {
        sentinel = document.createElement('div');
        sentinel.id = SENTINEL_ID;
        sentinel.tabIndex = -1;
        sentinel.setAttribute('aria-hidden', 'true');
        sentinel.style.cssText =
            'position:fixed;width:0;height:0;overflow:hidden;opacity:0;pointer-events:none;outline:none;';
      }
      if (parent.firstChild !== sentinel) parent.insertBefore(sentinel, parent.firstChild);
      sentinel.focus({ preventScroll: true });
    } catch (e) {}
  };
})();
