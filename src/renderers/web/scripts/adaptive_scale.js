// Adaptive scale: pages never scroll or show scroll bars, and any scaling of their own is undone
// (the host scales views with the controller zoom and runs this again after every zoom change).
(function () {
  'use strict';
  try {
    var STYLE_ID = 'orl-vessa-adaptive-scale-style';
    var CSS = 'html,body{margin:0!important;overflow:hidden!important;scrollbar-width:none!important;' +
        '-ms-overflow-style:none!important;}' +
        '*::-webkit-scrollbar{display:none!important;width:0!important;height:0!important;}';
    var ensureStyle = function () {
      if (document.getElementById(STYLE_ID)) return;
      var parent = document.head || document.documentElement;
      if (!parent) return;
      var style = document.createElement('style');
      style.id = STYLE_ID;
      style.textContent = CSS;
      parent.appendChild(style);
    };
    var clearBodyTransform = function () {
      var body = document.body;
      if (!body) return;
      body.style.transform = 'none';
      body.style.width = '';
      body.style.height = '';
    };
    var apply = function () {
      try {
        ensureStyle();
        clearBodyTransform();
      } catch (e) {}
    };
    window.__orlVessaApplyAdaptiveScale = function () { clearBodyTransform(); };
    window.__orlVessaApplyAdaptiveScaleTo = function () { clearBodyTransform(); };
    window.__orlVessaDesignW = 0;
    window.__orlVessaDesignH = 0;
    window.__orlVessaAdaptiveScaleInstalled = true;
    apply();
    if (!document.head || !document.body) {
      // Run before the document exists: finish once it does.
      document.addEventListener('DOMContentLoaded', apply, { once: true });
    }
  } catch (e) {}
})();
