// Small JSON helpers for the page's calls to the program.

export async function getJson(path, { timeoutMs = 4000 } = {}) {
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), timeoutMs);
  try {
    const response = await fetch(path, { cache: 'no-store', signal: controller.signal });
    let body = null;
    try { body = await response.json(); } catch { body = null; }
    return { ok: response.ok && body?.ok !== false, status: response.status, body };
  } catch (error) {
    return { ok: false, status: 0, body: null, error };
  } finally {
    clearTimeout(timer);
  }
}

export async function postJson(path, data, { timeoutMs = 4000, keepalive = false } = {}) {
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), timeoutMs);
  try {
    const response = await fetch(path, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(data),
      cache: 'no-store',
      keepalive,
      signal: controller.signal,
    });
    let body = null;
    try { body = await response.json(); } catch { body = null; }
    return { ok: response.ok && body?.ok !== false, status: response.status, body };
  } catch (error) {
    return { ok: false, status: 0, body: null, error };
  } finally {
    clearTimeout(timer);
  }
}

export function withToken(path, token, extra = {}) {
  const params = new URLSearchParams({ token, ...extra });
  return `${path}?${params.toString()}`;
}
