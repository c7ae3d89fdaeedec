// Checks a certwright-attest bundle with the Sigstore JavaScript verifier, offline: the only
// trust material is the operator's public key (SPKI PEM), and no transparency-log, CT-log or
// timestamp evidence is required. Exit 0 when the bundle verifies, 1 when it does not.
//   node verify-bundle.js BUNDLE PUBLIC_KEY_PEM
'use strict';
const crypto = require('crypto');
const fs = require('fs');
const { bundleFromJSON } = require('@sigstore/bundle');
const { Verifier, toSignedEntity, toTrustMaterial } = require('@sigstore/verify');

const [bundlePath, keyPath] = process.argv.slice(2);
const spki = crypto.createPublicKey(fs.readFileSync(keyPath)).export({ type: 'spki', format: 'der' });
const hint = crypto.createHash('sha256').update(spki.subarray(spki.length - 32)).digest('hex');
const trustedRoot = { certificateAuthorities: [], timestampAuthorities: [], tlogs: [], ctlogs: [] };
const keys = { [hint]: { rawBytes: spki, keyDetails: 'PKIX_ED25519' } };
const verifier = new Verifier(toTrustMaterial(trustedRoot, keys), {
  tlogThreshold: 0, ctlogThreshold: 0, timestampThreshold: 0,
});
try {
  const bundle = bundleFromJSON(JSON.parse(fs.readFileSync(bundlePath, 'utf8')));
  verifier.verify(toSignedEntity(bundle));
  console.log('verified');
} catch (error) {
  console.log(`rejected: ${error.message}`);
  process.exit(1);
}
