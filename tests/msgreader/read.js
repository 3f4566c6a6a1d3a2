// Reads a .msg file with an independent reader (@kenjiuno/msgreader) and
// prints what it found as JSON, for the msgfile tests to compare with what
// they wrote.
//
//   node read.js FILE.msg           the description as one JSON document
//   node read.js --flat FILE.msg    one line per value: PATH<TAB>JSON value
//                                   (e.g. "attachments.1.embedded.subject")
'use strict';
const fs = require('fs');
const crypto = require('crypto');
const MsgReader = require('@kenjiuno/msgreader').default;

function sha256(bytes) {
  return crypto.createHash('sha256').update(Buffer.from(bytes)).digest('hex');
}

function describe(reader, fields) {
  const out = {
    subject: fields.subject ?? null,
    senderName: fields.senderName ?? null,
    senderEmail: fields.senderEmail ?? null,
    body: fields.body ?? null,
    bodyHtml: fields.bodyHtml ?? null,
    html: fields.html ? Buffer.from(fields.html).toString('utf8') : null,
    messageClass: fields.messageClass ?? null,
    clientSubmitTime: fields.clientSubmitTime ?? null,
    messageCodepage: fields.messageCodepage ?? null,
    internetCodepage: fields.internetCodepage ?? null,
    recipients: (fields.recipients || []).map((r) => ({
      name: r.name ?? null,
      email: r.email ?? null,
      recipType: r.recipType ?? null,
    })),
    attachments: [],
    tags: [],
    named: [],
  };
  for (const p of fields.rawProps || []) {
    if (p.propertyTag) out.tags.push(p.propertyTag);
    if (p.propertySet || p.propertyName) {
      out.named.push({
        set: p.propertySet ?? null,
        lid: p.propertyLid ?? null,
        name: p.propertyName ?? null,
        value: typeof p.value === 'string' ? p.value : null,
      });
    }
  }
  for (const a of fields.attachments || []) {
    const item = { fileName: a.fileName ?? null, size: null, sha256: null, embedded: null };
    if (a.innerMsgContent && a.innerMsgContentFields) {
      item.embedded = describe(reader, a.innerMsgContentFields);
    } else {
      const data = reader.getAttachment(a);
      item.size = data.content.length;
      item.sha256 = sha256(data.content);
    }
    out.attachments.push(item);
  }
  return out;
}

function flatten(value, path, lines) {
  if (value !== null && typeof value === 'object') {
    const keys = Object.keys(value);
    if (Array.isArray(value)) lines.push(path + '.length\t' + value.length);
    for (const k of keys) flatten(value[k], path ? path + '.' + k : k, lines);
  } else {
    lines.push(path + '\t' + JSON.stringify(value));
  }
}

const args = process.argv.slice(2);
const flat = args[0] === '--flat';
const file = flat ? args[1] : args[0];
if (!file) {
  process.stderr.write('usage: node read.js [--flat] FILE.msg\n');
  process.exit(2);
}
const bytes = fs.readFileSync(file);
const reader = new MsgReader(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength));
reader.parserConfig = { includeRawProps: true };
const fields = reader.getFileData();
if (fields.error) {
  process.stdout.write(JSON.stringify({ error: fields.error }) + '\n');
  process.exit(1);
}
const description = describe(reader, fields);
if (flat) {
  const lines = [];
  flatten(description, '', lines);
  process.stdout.write(lines.join('\n') + '\n');
} else {
  process.stdout.write(JSON.stringify(description, null, 1) + '\n');
}
