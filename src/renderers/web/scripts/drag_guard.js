// Native drag guard: nothing can be dragged out of a view.
(function () {
  'use strict';
  if (window.__vyoNativeDragGuardInited) return;
  window.__vyoNativeDragGuardInited = true;
  try {
    var STYLE_ID = '__vyo_native_drag_guard';
    var addStyle = function () {
      if (document.getElementById(STYLE_ID)) return;
      var parent = document.head || document.documentElement;
      if (!parent) return;
      var style = document.createElement('style');
      style.id = STYLE_ID;
      style.textContent = 'html{-webkit-user-drag:none;}';
      parent.appendChild(style);
    };
    addStyle();
    if (!document.head) document.addEventListener('DOMContentLoaded', addStyle, { once: true });
    document.addEventListener('dragstart', function (e) {
      try { e.preventDefault(); } catch (err) {}
    }, true);
  } catch (e) {}
})();
