// Small JSON helpers for the page's calls to the program.

// A control page opened from another device carries the program's control token in its address
// (/?token=…, as the program prints it); the page keeps it and sends it with every call. On
// this machine there is none and nothing is added.
const CONTROL_TOKEN_KEY = 'solvera.controlToken';
export function controlToken() {
  try {
    if (['/', '/index.html'].includes(location.pathname)) {
      const given = new URLSearchParams(location.search).get('token');
      if (given) localStorage.setItem(CONTROL_TOKEN_KEY, given);
    }
    return localStorage.getItem(CONTROL_TOKEN_KEY);
  } catch {
    return null;
  }
}

// Told when the program refused a call for want of the control token: a page opened from another
// device by its plain address, not the one with the token that the program printed.
const tokenRefusedListeners = new Set();
export function onControlTokenRefused(listener) {
  tokenRefusedListeners.add(listener);
  return () => tokenRefusedListeners.delete(listener);
}

// A reply: ok (HTTP success and no "ok": false), status (0 when no answer arrived), the parsed
// body or null, and timedOut when the page gave up waiting.
async function exchange(path, init, timeoutMs) {
  const controller = new AbortController();
  let timedOut = false;
  const timer = setTimeout(() => { timedOut = true; controller.abort(); }, timeoutMs);
  try {
    const token = controlToken();
    const headers = token ? { ...init.headers, 'X-Solvera-Control-Token': token } : init.headers;
    const response = await fetch(path, { cache: 'no-store', ...init, headers, signal: controller.signal });
    let body = null;
    try { body = await response.json(); } catch { body = null; }
    if (response.status === 403 && body?.error === 'invalid_token') {
      for (const listener of tokenRefusedListeners) listener(path);
    }
    return { ok: response.ok && body?.ok !== false, status: response.status, body };
  } catch (error) {
    return { ok: false, status: 0, body: null, error, timedOut };
  } finally {
    clearTimeout(timer);
  }
}

export function getJson(path, { timeoutMs = 4000, headers = {} } = {}) {
  return exchange(path, { headers: { Accept: 'application/json', ...headers } }, timeoutMs);
}

export function postJson(path, data, { timeoutMs = 4000, keepalive = false, headers = {}, method = 'POST' } = {}) {
  return exchange(path, {
    method,
    headers: { 'Content-Type': 'application/json', ...headers },
    body: JSON.stringify(data),
    keepalive,
  }, timeoutMs);
}

export function putJson(path, data, options = {}) {
  return postJson(path, data, { ...options, method: 'PUT' });
}

export function deleteJson(path, { timeoutMs = 4000 } = {}) {
  return exchange(path, { method: 'DELETE', headers: { Accept: 'application/json' } }, timeoutMs);
}

// A control path for what cannot send the token in a header (an event stream): the token, if
// the page has one, goes in its query.
export function controlUrl(path) {
  const token = controlToken();
  return token ? withToken(path, token) : path;
}

export function withToken(path, token, extra = {}) {
  const params = new URLSearchParams({ token, ...extra });
  return `${path}?${params.toString()}`;
}
