// IME and input focus: tells the host whether a field that takes the keyboard has focus, lets the
// host take that focus away again, and draws the IME candidate panel the host sends.
(function () {
  'use strict';
  if (window.__vyoImeInited) return;
  window.__vyoImeInited = true;

  var PANEL_ID = '__vyo_ime_panel';
  var NON_TEXT_TYPES = { button: 1, checkbox: 1, radio: 1, submit: 1, reset: 1, file: 1, hidden: 1, image: 1,
                         range: 1, color: 1 };
  var NOT_TAB_TARGETS = { BUTTON: 1, A: 1, INPUT: 1, TEXTAREA: 1, SELECT: 1, OPTION: 1, LABEL: 1 };

  var active = null;        // the field the page last reported
  var reported = false;     // the state last reported to the host
  var revoked = false;      // focus was taken away by the host until the next click on a field
  var refocusOpen = false;  // a click on a field is moving focus
  var refocusGeneration = 0;
  var reconcileQueued = false;
  var useDefaultPanel = true;
  var updateCallbacks = [];
  var lastRendered = null;

  var post = function (text) {
    try {
      var wv = window.chrome && window.chrome.webview;
      if (wv && typeof wv.postMessage === 'function') wv.postMessage(text);
    } catch (e) {}
  };

  var isElement = function (node) { return !!node && node.nodeType === 1; };

  var isEditable = function (el) {
    if (!isElement(el)) return false;
    if (el.isContentEditable) return true;
    if (el.tagName === 'TEXTAREA') return !el.disabled && !el.readOnly;
    if (el.tagName === 'INPUT') {
      if (el.disabled || el.readOnly) return false;
      var type = String(el.type || 'text').toLowerCase();
      return !NON_TEXT_TYPES[type];
    }
    return false;
  };

  var isKeyboardTarget = function (el) {
    if (!isElement(el)) return false;
    if (isEditable(el)) return true;
    if (el.tagName === 'SELECT') return !el.disabled;
    if (NOT_TAB_TARGETS[el.tagName]) return false;
    if (!el.hasAttribute('tabindex')) return false;
    var index = parseInt(el.getAttribute('tabindex'), 10);
    return !isNaN(index) && index >= 0;
  };

  // The next element towards the root, crossing shadow roots to their hosts.
  var parentAcross = function (node) {
    var parent = node.parentNode;
    if (parent && parent.nodeType === 11 && parent.host) return parent.host;
    return parent;
  };

  var hiddenByStyle = function (el) {
    for (var n = el; isElement(n); n = parentAcross(n)) {
      var style = window.getComputedStyle(n);
      if (style.display === 'none' || style.visibility === 'hidden' || style.visibility === 'collapse' ||
          parseFloat(style.opacity) === 0) {
        return true;
      }
      if (n.hidden || n.inert || n.getAttribute('aria-hidden') === 'true') return true;
    }
    return false;
  };

  var isVisible = function (el) {
    try {
      if (!isElement(el) || !el.isConnected || hiddenByStyle(el)) return false;
      if (el.getClientRects().length === 0) return false;
      var r = el.getBoundingClientRect();
      if (!(r.width > 0 && r.height > 0)) return false;
      return r.right > 0 && r.bottom > 0 && r.left < window.innerWidth && r.top < window.innerHeight;
    } catch (e) {
      return false;
    }
  };

  var deepActiveElement = function () {
    var el = document.activeElement;
    while (el && el.shadowRoot && el.shadowRoot.activeElement) el = el.shadowRoot.activeElement;
    return el;
  };

  var eventTarget = function (event) {
    var path = typeof event.composedPath === 'function' ? event.composedPath() : [];
    for (var i = 0; i < path.length; i++) {
      if (isKeyboardTarget(path[i])) return path[i];
    }
    return event.target;
  };

  var report = function (state) {
    if (state === reported) return;
    reported = state;
    post('\u0001vyo-input-focus ' + (state ? '1' : '0'));
  };

  var hidePanel = function () {
    lastRendered = null;
    var panel = document.getElementById(PANEL_ID);
    if (panel && panel.style.display !== 'none') panel.style.display = 'none';
  };

  var openRefocusWindow = function () {
    var generation = ++refocusGeneration;
    refocusOpen = true;
    setTimeout(function () {
      if (generation === refocusGeneration) refocusOpen = false;
    }, 100);
  };
  var endRefocusWindow = function () {
    refocusOpen = false;
    ++refocusGeneration;
  };

  var blurOverlayInput = function () {
    hidePanel();
    try {
      var el = deepActiveElement();
      if (el && el !== document.body && el !== document.documentElement && typeof el.blur === 'function') el.blur();
    } catch (e) {}
    active = null;
    // A click that passes through to the game produces no focusout: clear the report here.
    report(false);
  };

  var reconcile = function () {
    try {
      var deep = deepActiveElement();
      if (refocusOpen) {
        // Focus may pass through nothing while it moves from one field to another.
        if (isKeyboardTarget(deep) && isVisible(deep)) active = deep;
        return;
      }
      if (revoked) {
        if (reported || isKeyboardTarget(deep)) blurOverlayInput();
        return;
      }
      if (isKeyboardTarget(deep) && isVisible(deep)) {
        active = deep;
        report(true);
        if (!isEditable(deep)) hidePanel();
      } else {
        active = null;
        report(false);
        hidePanel();
      }
    } catch (e) {}
  };

  var queueReconcile = function () {
    if (reconcileQueued) return;
    reconcileQueued = true;
    setTimeout(function () {
      reconcileQueued = false;
      reconcile();
    }, 0);
  };

  document.addEventListener('focusin', function (event) {
    var target = eventTarget(event);
    if (isKeyboardTarget(target) && isVisible(target)) {
      revoked = false;
      endRefocusWindow();
      active = target;
      report(true);
      if (!isEditable(target)) hidePanel();
    } else if (reported && !refocusOpen) {
      active = null;
      report(false);
      hidePanel();
    }
  }, true);

  document.addEventListener('mousedown', function (event) {
    var target = eventTarget(event);
    if (isKeyboardTarget(target)) {
      // The field keeps its focus (blurring and focusing again would flash the panel); the host
      // is asked to make sure the view has the keyboard, and counts the field once.
      revoked = false;
      openRefocusWindow();
      active = target;
      reported = true;
      post('\u0001vyo-input-reassert');
    } else if (reported || isKeyboardTarget(deepActiveElement())) {
      blurOverlayInput();
    }
  }, true);

  document.addEventListener('focusout', function (event) {
    if (active && (event.target === active || eventTarget(event) === active)) {
      active = null;
      queueReconcile();
    }
  }, true);

  // Input methods briefly blur the window while they open their own candidate window.
  window.addEventListener('blur', queueReconcile);
  window.addEventListener('focus', queueReconcile);

  window.addEventListener('pagehide', function () {
    active = null;
    report(false);
  });
  document.addEventListener('visibilitychange', function () {
    if (document.visibilityState !== 'hidden') return;
    active = null;
    report(false);
  }, true);

  try {
    var observer = new MutationObserver(function (records) {
      var panel = document.getElementById(PANEL_ID);
      for (var i = 0; i < records.length; i++) {
        if (!panel || !panel.contains(records[i].target)) {
          queueReconcile();
          return;
        }
      }
    });
    // The document element may not exist yet: observe the document itself.
    observer.observe(document, { subtree: true, childList: true, attributes: true,
                                 attributeFilter: ['style', 'class', 'hidden', 'disabled', 'readonly'] });
  } catch (e) {}
  setInterval(reconcile, 150);

  window.__vyoBlurOverlayInput = function () { blurOverlayInput(); };
  window.__vyoRevokeInputFocus = function () {
    if (refocusOpen) return;
    revoked = true;
    blurOverlayInput();
  };

  // --- candidate panel

  var renderPanel = function (data) {
    var field = active || deepActiveElement();
    if (data.phase === 'end' || !data.visible || !isEditable(field) || !isVisible(field)) {
      hidePanel();
      return;
    }
    var key = JSON.stringify([data.visible, data.reading, data.selected, data.pageStart, data.candidates, data.phase,
                              data.dpiScale]);
    var panel = document.getElementById(PANEL_ID);
    if (panel && key === lastRendered && panel.style.display !== 'none') return;
    var s = Number(data.dpiScale);
    if (!(s > 0) || !isFinite(s)) s = 1;
    var px = function (v) { return (v * s) + 'px'; };
    if (!panel) {
      panel = document.createElement('div');
      panel.id = PANEL_ID;
      (document.documentElement || document.body).appendChild(panel);
    }
    while (panel.firstChild) panel.removeChild(panel.firstChild);
    var r = field.getBoundingClientRect();
    panel.style.cssText =
        'position:fixed;z-index:2147483647;pointer-events:none;box-sizing:border-box;white-space:nowrap;' +
        'background:rgba(32,32,32,0.95);color:#fff;border:1px solid #555;box-shadow:0 2px 8px rgba(0,0,0,0.5);' +
        'font-size:' + px(14) + ';line-height:1.4;padding:' + px(6) + ' ' + px(8) + ';border-radius:' + px(4) +
        ';left:' + Math.max(0, Math.floor(r.left)) + 'px;top:' + Math.ceil(r.bottom + 4) + 'px;display:block;';
    if (typeof data.reading === 'string' && data.reading.length > 0) {
      var reading = document.createElement('div');
      reading.className = '__vyo_ime_reading';
      reading.style.cssText = 'color:#aaa;text-decoration:underline dotted;margin-bottom:' + px(6) + ';';
      reading.textContent = data.reading;
      panel.appendChild(reading);
    }
    var list = document.createElement('div');
    list.className = '__vyo_ime_list';
    list.style.cssText = 'display:flex;flex-wrap:wrap;gap:' + px(6) + ';';
    var candidates = Array.isArray(data.candidates) ? data.candidates : [];
    var selectedOnPage = Number(data.selected) - Number(data.pageStart);
    for (var i = 0; i < candidates.length; i++) {
      var cand = document.createElement('span');
      cand.className = '__vyo_ime_cand';
      cand.style.cssText = 'padding:' + px(2) + ' ' + px(6) + ';border-radius:' + px(3) + ';background:' +
          (i === selectedOnPage ? '#0078d4' : '#444') + ';';
      // textContent: the candidate text is shown as text, never as markup.
      cand.textContent = (i + 1) + '.' + String(candidates[i]);
      list.appendChild(cand);
    }
    panel.appendChild(list);
    lastRendered = key;
  };

  var onMessage = function (event) {
    var data = event ? event.data : null;
    if (typeof data === 'string') {
      try {
        data = JSON.parse(data);
      } catch (e) {
        return;
      }
    }
    if (!data || typeof data !== 'object' || data.type !== 'vyo-ime-candidates') return;
    for (var i = 0; i < updateCallbacks.length; i++) {
      try { updateCallbacks[i](data); } catch (e) {}
    }
    if (!useDefaultPanel) return;
    try { renderPanel(data); } catch (e) {}
  };

  window.__vyoIme = {
    disableDefault: function () {
      useDefaultPanel = false;
      hidePanel();
    },
    enableDefault: function () { useDefaultPanel = true; },
    onUpdate: function (callback) {
      if (typeof callback === 'function') updateCallbacks.push(callback);
    }
  };

  try {
    var wv = window.chrome && window.chrome.webview;
    if (wv && typeof wv.addEventListener === 'function') wv.addEventListener('message', onMessage);
  } catch (e) {}

  reconcile();
})();
