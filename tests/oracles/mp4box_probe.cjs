// Reads one file with mp4box.js, the strict ISO parser web pages use, and
// prints what it saw: one "error ..." line per complaint, then one
// "track <id> <handler> <samples>" line per track. Exit status 3 when the
// mp4box package cannot be loaded (the caller skips), 0 otherwise.
'use strict';
const fs = require('fs');

let MP4Box;
try {
  MP4Box = require('mp4box');
} catch (e) {
  console.log('unavailable ' + e.message.split('\n')[0]);
  process.exit(3);
}

const complaints = [];
const keep = (level) => (...args) => complaints.push(level + ' ' + args.map(String).join(' '));
console.error = keep('error');
console.warn = keep('warning');
MP4Box.Log.setLogLevel(MP4Box.Log.warn);

const bytes = fs.readFileSync(process.argv[2]);
const ab = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
ab.fileStart = 0;
const file = MP4Box.createFile();
file.onError = (module, msg) => complaints.push('error [' + module + '] ' + msg);
file.appendBuffer(ab);
file.flush();
const info = file.getInfo();

for (const c of complaints) console.log(c);
for (const t of (info && info.tracks) || []) {
  const trak = file.getTrackById(t.id);
  const handler = trak && trak.mdia && trak.mdia.hdlr ? trak.mdia.hdlr.handler : '?';
  console.log('track ' + t.id + ' ' + handler + ' ' + t.nb_samples);
}
