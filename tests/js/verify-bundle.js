// Checks a certwright-attest bundle with the Sigstore JavaScript verifier, offline: the trust
// material is the operator's public key (SPKI PEM) and, after --timestamps, one timestamp
// authority whose certificate chain (signing certificate first, then the root, as PEM files) may
// be empty. Without --timestamps no transparency-log, CT-log or timestamp evidence is required;
// with it, one verified RFC 3161 timestamp is. Exit 0 when the bundle verifies, 1 when it does
// not.
//   node verify-bundle.js BUNDLE PUBLIC_KEY_PEM [--timestamps [TSA_CERT_PEM...]]
'use strict';
const crypto = require('crypto');
const fs = require('fs');
const { bundleFromJSON } = require('@sigstore/bundle');
const { Verifier, toSignedEntity, toTrustMaterial } = require('@sigstore/verify');

const [bundlePath, keyPath, timestampsFlag, ...chainPaths] = process.argv.slice(2);
const timestamped = timestampsFlag === '--timestamps';
const spki = crypto.createPublicKey(fs.readFileSync(keyPath)).export({ type: 'spki', format: 'der' });
const hint = crypto.createHash('sha256').update(spki.subarray(spki.length - 32)).digest('hex');
const certificates = chainPaths.map((path) => ({
  rawBytes: new crypto.X509Certificate(fs.readFileSync(path)).raw,
}));
const timestampAuthorities =
  certificates.length > 0 ? [{ certChain: { certificates }, validFor: { start: new Date(0) } }] : [];
const trustedRoot = { certificateAuthorities: [], timestampAuthorities, tlogs: [], ctlogs: [] };
const keys = { [hint]: { rawBytes: spki, keyDetails: 'PKIX_ED25519' } };
const verifier = new Verifier(toTrustMaterial(trustedRoot, keys), {
  tlogThreshold: 0, ctlogThreshold: 0, timestampThreshold: timestamped ? 1 : 0,
});
try {
  const bundle = bundleFromJSON(JSON.parse(fs.readFileSync(bundlePath, 'utf8')));
  verifier.verify(toSignedEntity(bundle));
  console.log('verified');
} catch (error) {
  console.log(`rejected: ${error.message}`);
  process.exit(1);
}
