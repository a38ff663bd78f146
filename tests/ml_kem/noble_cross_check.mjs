// ML-KEM-768: our implementation (ml_kem_tool) against @noble/post-quantum, an independent one.
//   node noble_cross_check.mjs TOOL NOBLE_DIR
// Keys made by either side are used by the other in both roles, and a tampered ciphertext must
// give both sides the same implicit-rejection key. Exits 0 when every check passed, 1 otherwise,
// 2 when something it needs is missing.
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { pathToFileURL } from 'node:url';

const [tool, nobleDir] = process.argv.slice(2);
const moduleFile = join(nobleDir ?? '', 'node_modules', '@noble', 'post-quantum', 'ml-kem.js');
if (!tool || !existsSync(tool)) {
  console.error(`ml_kem_tool not found at ${tool}`);
  process.exit(2);
}
if (!existsSync(moduleFile)) {
  console.error(`@noble/post-quantum is not installed in ${nobleDir}: run scripts/setup.sh (it installs ` +
                `@noble/post-quantum@0.7.1 there with npm)`);
  process.exit(2);
}
const { ml_kem768 } = await import(pathToFileURL(moduleFile).href);

const hex = (b) => Buffer.from(b).toString('hex');
const unhex = (s) => new Uint8Array(Buffer.from(s, 'hex'));

// One request at a time to the tool; every answer is bounded by a time-out, and the tool ending
// early is reported as such.
const child = spawn(tool, [], { stdio: ['pipe', 'pipe', 'inherit'] });
const lines = createInterface({ input: child.stdout });
const waiting = [];
let ended = false;
lines.on('line', (line) => waiting.shift()?.resolve(line));
child.on('exit', (code) => {
  ended = true;
  for (const w of waiting.splice(0)) w.reject(new Error(`ml_kem_tool exited (${code}) before answering`));
});
function ask(request) {
  if (ended) return Promise.reject(new Error('ml_kem_tool has exited'));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no answer to "${request.split(' ')[0]}" within 10 s`)), 10000);
    waiting.push({
      resolve: (line) => { clearTimeout(timer); resolve(line); },
      reject: (error) => { clearTimeout(timer); reject(error); },
    });
    child.stdin.write(request + '\n');
  });
}
async function askFields(request, count) {
  const answer = await ask(request);
  const fields = answer.split(' ');
  if (fields[0] === 'error' || fields.length !== count) throw new Error(`"${request.split(' ')[0]}": ${answer}`);
  return fields;
}

let failures = 0;
function check(condition, what) {
  if (!condition) {
    failures++;
    console.error(`FAIL ${what}`);
  }
}

const rounds = 6;
try {
  for (let i = 0; i < rounds; i++) {
    // Our key pair, noble encapsulates, we decapsulate.
    const [ek, dk] = await askFields('keygen', 2);
    check(unhex(ek).length === 1184 && unhex(dk).length === 2400, `round ${i}: key sizes`);
    const sent = ml_kem768.encapsulate(unhex(ek));
    const [received] = await askFields(`decaps ${dk} ${hex(sent.cipherText)}`, 1);
    check(received === hex(sent.sharedSecret), `round ${i}: pelto keys, noble encapsulates, pelto decapsulates`);
    // noble can also open what it sent with our decapsulation key.
    check(hex(ml_kem768.decapsulate(sent.cipherText, unhex(dk))) === hex(sent.sharedSecret),
          `round ${i}: noble decapsulates with pelto's decapsulation key`);

    // noble's key pair, we encapsulate, noble decapsulates.
    const keys = ml_kem768.keygen();
    const [ciphertext, secret] = await askFields(`encaps ${hex(keys.publicKey)}`, 2);
    check(hex(ml_kem768.decapsulate(unhex(ciphertext), keys.secretKey)) === secret,
          `round ${i}: noble keys, pelto encapsulates, noble decapsulates`);
    const [again] = await askFields(`decaps ${hex(keys.secretKey)} ${ciphertext}`, 1);
    check(again === secret, `round ${i}: pelto decapsulates with noble's decapsulation key`);

    // A tampered ciphertext: both sides reject implicitly with the same key J(z, c').
    const tampered = unhex(ciphertext);
    tampered[(i * 181) % tampered.length] ^= 0x01 << (i % 8);
    const nobleRejects = hex(ml_kem768.decapsulate(tampered, keys.secretKey));
    const [peltoRejects] = await askFields(`decaps ${hex(keys.secretKey)} ${hex(tampered)}`, 1);
    check(peltoRejects === nobleRejects, `round ${i}: same implicit-rejection key for a tampered ciphertext`);
    check(peltoRejects !== secret, `round ${i}: the tampered ciphertext does not give the encapsulated key`);
  }
  // A key noble refuses (a coefficient of t-hat equal to q) is refused by us too.
  const bad = ml_kem768.keygen().publicKey;
  bad[0] = 0x01;
  bad[1] = (bad[1] & 0xf0) | 0x0d;  // first 12-bit value 0xd01 = 3329
  let nobleRefuses = false;
  try { ml_kem768.encapsulate(bad); } catch { nobleRefuses = true; }
  const answer = await ask(`encaps ${hex(bad)}`);
  check(nobleRefuses && answer.startsWith('error'), 'an unreduced encapsulation key is refused by both');
} catch (error) {
  failures++;
  console.error(`FAIL ${error.message}`);
}
child.stdin.end();
console.log(failures === 0 ? `ML-KEM-768 cross-check with noble: ${rounds} rounds passed`
                           : `ML-KEM-768 cross-check with noble: ${failures} failures`);
process.exit(failures === 0 ? 0 : 1);
