// Checks a timestamped certwright-attest bundle with the Sigstore JavaScript verifier, offline:
// the trust material is the operator's Ed25519 public key and the timestamp authorities' PEM
// certificates (its signing certificate first, then the root), and one verified RFC 3161
// timestamp is required. Exit 0 when the bundle verifies, 1 when it does not.
//   node verify-timestamped-bundle.js BUNDLE PUBLIC_KEY_BASE64 [TSA_CERT_PEM...]
'use strict';
const crypto = require('crypto');
const fs = require('fs');
const { bundleFromJSON } = require('@sigstore/bundle');
const { Verifier, toSignedEntity, toTrustMaterial } = require('@sigstore/verify');

const [bundlePath, publicKey, ...chainPaths] = process.argv.slice(2);
const raw = Buffer.from(publicKey, 'base64');
const spki = Buffer.concat([Buffer.from('302a300506032b6570032100', 'hex'), raw]);
const hint = crypto.createHash('sha256').update(raw).digest('hex');
const certificates = chainPaths.map((path) => ({
  rawBytes: new crypto.X509Certificate(fs.readFileSync(path)).raw,
}));
const timestampAuthorities =
  certificates.length > 0 ? [{ certChain: { certificates }, validFor: { start: new Date(0) } }] : [];
const trustedRoot = { certificateAuthorities: [], timestampAuthorities, tlogs: [], ctlogs: [] };
const keys = { [hint]: { rawBytes: spki, keyDetails: 'PKIX_ED25519' } };
const verifier = new Verifier(toTrustMaterial(trustedRoot, keys), {
  tlogThreshold: 0, ctlogThreshold: 0, timestampThreshold: 1,
});
try {
  const bundle = bundleFromJSON(JSON.parse(fs.readFileSync(bundlePath, 'utf8')));
  verifier.verify(toSignedEntity(bundle));
  console.log('verified');
} catch (error) {
  console.log(`rejected: ${error.message}`);
  process.exit(1);
}
