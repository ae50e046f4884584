// Watches the page's storage for an access token and hands the first likely one to the app.
// Runs at document creation in every frame; WEB_DOMAIN is replaced by the web domain.
(function (webDomain) {
  'use strict';
  // 1. Once per window.
  if (window.__vorlantaTokenBridgeInstalled) {
    return;
  }
  window.__vorlantaTokenBridgeInstalled = true;

  var isTop = window === window.top;
  var bridge = null;   // the app's "tokenFound" object, once the channel is up (top frame)
  var waiting = [];    // messages posted before that

  function onWebDomain(host) {
    host = String(host || '').toLowerCase();
    return host === webDomain || host.slice(-(webDomain.length + 1)) === '.' + webDomain;
  }
  function deliver(message) {
    if (bridge) {
      bridge.postMessage(message);
    } else {
      waiting.push(message);
    }
  }
  // The channel's transport exists in the top frame only: subframes hand their candidates to
  // it, and it passes on only those from pages of the web domain.
  var topOnWebDomain = false;
  if (isTop) {
    if (typeof QWebChannel === 'function' && window.qt && qt.webChannelTransport) {
      new QWebChannel(qt.webChannelTransport, function (channel) {
        bridge = channel.objects.tokenFound;
        waiting.splice(0).forEach(deliver);
      });
    }
    window.addEventListener('message', function (event) {
      var data = event.data;
      if (!data || typeof data !== 'object' || !data.__vorlantaTokenFound) {
        return;
      }
      var host;
      try {
        host = new URL(event.origin).hostname;
      } catch (e) {
        return;
      }
      if (onWebDomain(host)) {
        deliver(data.__vorlantaTokenFound);
      }
    });
  } else {
    try {
      var origins = window.location.ancestorOrigins;
      topOnWebDomain = !!origins && origins.length > 0 &&
        onWebDomain(new URL(origins[origins.length - 1]).hostname);
    } catch (e) {
      topOnWebDomain = false;
    }
  }
  var hasHandler = isTop ? !!(window.qt && qt.webChannelTransport) : topOnWebDomain;

  // 2.
  function looksLikeJWT(value) {
    return typeof value === 'string' && value.indexOf('eyJ') === 0;
  }
  function isTokenKey(key) {
    if (typeof key !== 'string' || key.length === 0) {
      return false;
    }
    var lower = key.toLowerCase();
    return lower.indexOf('token') >= 0 || lower.indexOf('access') >= 0 || lower.indexOf('auth') >= 0;
  }
  // 3.
  function send(value, key) {
    if (value === null || value === undefined || value === '') {
      return false;
    }
    value = String(value);
    if (!isTokenKey(key) && !looksLikeJWT(value)) {
      return false;
    }
    if (!hasHandler) {
      return false;
    }
    var message = {type: 'token', value: value, key: typeof key === 'string' ? key : null};
    try {
      if (isTop) {
        deliver(message);
      } else {
        window.top.postMessage({__vorlantaTokenFound: message}, '*');
      }
      return true;
    } catch (e) {
      console.log('tokenFound postMessage failed', e);
      return false;
    }
  }
  // 4.
  function scan(area) {
    if (!area) {
      return false;
    }
    for (var i = 0; i < area.length; i++) {
      var key = area.key(i);
      if (send(area.getItem(key), key)) {
        return true;
      }
    }
    return false;
  }
  function storage(name) {
    try {
      return window[name];
    } catch (e) {
      return null;
    }
  }
  // 5.
  function checkAll() {
    return scan(storage('localStorage')) || scan(storage('sessionStorage'));
  }
  // 6.
  var proto = window.Storage && window.Storage.prototype;
  var writable = true;
  try {
    var descriptor = Object.getOwnPropertyDescriptor(proto, 'setItem');
    writable = !!descriptor && descriptor.writable !== false;
  } catch (e) {
    writable = true;
  }
  if (proto && writable) {
    var setItem = proto.setItem;
    var removeItem = proto.removeItem;
    proto.setItem = function (key, value) {
      try {
        return setItem.apply(this, arguments);
      } finally {
        send(value, key);
      }
    };
    proto.removeItem = function () {
      var result = removeItem.apply(this, arguments);
      checkAll();
      return result;
    };
  }
  // 7, 8.
  function finished() {
    window.__vorlantaTokenBridgeInstalled = false;
  }
  if (checkAll()) {
    finished();
    return;
  }
  var polls = 0;
  var timer = setInterval(function () {
    polls += 1;
    if (checkAll() || polls >= 200) {
      clearInterval(timer);
      finished();
    }
  }, 250);
})(WEB_DOMAIN);
