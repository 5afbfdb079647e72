// Marketplace submissions and affiliate-profile lookups through the program's relays to the
// maker's services. The services' replies pass through unchanged; these helpers read them.

import { sessionFileDocument } from './session-file.js';

export const SUBMISSION_FORMAT = 'solvera-marketplace-submission';
export const PUBLISHER_HEADER = 'X-Solvera-Publisher-Code';
// The program waits up to 22 s for the service; the page a little longer.
export const SERVICE_WAIT_MS = 25_000;

const text = (v, limit) => (typeof v === 'string' ? v.trim().slice(0, limit) : '');

export function buildSubmission({ session, listing = {}, publisher = {}, language = 'nl', submittedAt = new Date(), application }) {
  const tags = typeof listing.tags === 'string' ? listing.tags.split(',').map((s) => s.trim()).filter(Boolean).slice(0, 12) : [];
  const price = Number(listing.priceEUR);
  return {
    format: SUBMISSION_FORMAT,
    version: 1,
    submittedAt: submittedAt.toISOString(),
    language,
    listing: {
      title: text(listing.title, 160),
      description: text(listing.description, 4000),
      tags,
      priceEUR: Number.isFinite(price) && price >= 0 ? Math.round(price * 100) / 100 : 0,
    },
    publisher: { name: text(publisher.name, 120), email: text(publisher.email, 200) },
    session: sessionFileDocument(session, { exportedAt: submittedAt, application }).session,
  };
}

// The query for a lookup: an e-mail address or a registration code, as the user typed it.
export function affiliateQuery(input) {
  const value = String(input ?? '').trim();
  if (!value) return null;
  const name = value.includes('@') ? 'email' : 'license_key';
  // The program decodes percent escapes only: a space must travel as %20, never as "+".
  return `${name}=${encodeURIComponent(value)}`;
}

// A service reply's own message, in whichever member it came.
export function serviceMessage(body) {
  if (!body || typeof body !== 'object') return '';
  for (const key of ['message', 'detail', 'error_description', 'error']) {
    if (typeof body[key] === 'string' && body[key].trim()) return body[key].trim();
  }
  return '';
}

// What the page says about a reply: a text key and the values for it.
export function marketplaceOutcome(reply) {
  const body = reply.body;
  if (reply.status >= 200 && reply.status < 300) {
    const id = body?.id ?? body?.submissionId ?? body?.submission?.id ?? '';
    return { ok: true, key: id ? 'market.sent.id' : 'market.sent', values: { id: String(id), message: serviceMessage(body) } };
  }
  if (reply.status === 0) return { ok: false, key: reply.timedOut ? 'service.timeout' : 'service.offline', values: {} };
  if (body?.error === 'invalid_local_payload') return { ok: false, key: 'market.invalid', values: {} };
  if (body?.error === 'marketplace_unreachable' || reply.status === 502) return { ok: false, key: 'market.unreachable', values: {} };
  if (reply.status === 401 || reply.status === 403) return { ok: false, key: 'market.code.refused', values: { message: serviceMessage(body) } };
  return { ok: false, key: 'market.refused', values: { status: reply.status, message: serviceMessage(body) } };
}

// The profile's scalar members, one level of nesting flattened ("payout.method").
export function profileFields(body, limit = 40) {
  const fields = [];
  const walk = (object, prefix, depth) => {
    for (const [key, value] of Object.entries(object)) {
      if (fields.length >= limit) return;
      const name = prefix ? `${prefix}.${key}` : key;
      if (value === null || ['string', 'number', 'boolean'].includes(typeof value)) fields.push([name, value === null ? '' : String(value)]);
      else if (Array.isArray(value) && value.every((v) => ['string', 'number'].includes(typeof v))) fields.push([name, value.join(', ')]);
      else if (value && typeof value === 'object' && !Array.isArray(value) && depth < 1) walk(value, name, depth + 1);
    }
  };
  const profile = body?.profile && typeof body.profile === 'object' ? body.profile : body;
  if (profile && typeof profile === 'object' && !Array.isArray(profile)) walk(profile, '', 0);
  return fields.filter(([name]) => name !== 'ok');
}

export function affiliateOutcome(reply) {
  const body = reply.body;
  if (reply.status >= 200 && reply.status < 300 && body && typeof body === 'object') {
    return { ok: true, key: 'affiliate.found', values: {}, fields: profileFields(body) };
  }
  if (reply.status === 0) return { ok: false, key: reply.timedOut ? 'service.timeout' : 'service.offline', values: {}, fields: [] };
  if (body?.code === 'missing_email') return { ok: false, key: 'affiliate.missing', values: {}, fields: [] };
  if (body?.code === 'affiliate_proxy_unreachable' || reply.status === 502) return { ok: false, key: 'affiliate.unreachable', values: {}, fields: [] };
  if (reply.status === 404) return { ok: false, key: 'affiliate.notFound', values: { message: serviceMessage(body) }, fields: [] };
  return { ok: false, key: 'affiliate.refused', values: { status: reply.status, message: serviceMessage(body) }, fields: [] };
}
