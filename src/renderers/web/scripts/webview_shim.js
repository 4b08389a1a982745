// window.chrome.webview for pages shown by the DevTools backend: postMessage goes to the host
// through a runtime binding (strings and JSON values kept apart), and messages from the host arrive
// as "message" events whose data is the parsed JSON.
(function () {
  'use strict';
  var BINDING = '__vyoWebviewPost';
  var DELIVER = '__vyoWebviewDeliver';
  var chromeObject = window.chrome;
  if (chromeObject && chromeObject.webview && chromeObject.webview.__vyoShim) return;
  var binding = window[BINDING];
  if (typeof binding !== 'function') return;
  try { delete window[BINDING]; } catch (e) {}
  var stringify = JSON.stringify;
  var webview = new EventTarget();
  Object.defineProperty(webview, '__vyoShim', { value: true });
  webview.postMessage = function (message) {
    if (arguments.length === 0) throw new TypeError('postMessage needs a message');
    if (typeof message === 'string') {
      binding('s' + message);
      return;
    }
    var json = stringify(message);
    if (typeof json !== 'string') throw new TypeError('the message cannot be sent as JSON');
    binding('j' + json);
  };
  if (!chromeObject) {
    chromeObject = {};
    Object.defineProperty(window, 'chrome', { value: chromeObject, configurable: true, writable: true });
  }
  Object.defineProperty(chromeObject, 'webview', { value: webview, enumerable: true, configurable: false });
  Object.defineProperty(window, DELIVER, {
    value: function (data) { webview.dispatchEvent(new MessageEvent('message', { data: data })); }
  });
})();
