// Checks a certwright countersignature with the jose library: the compact JWS must verify under
// the platform's Ed25519 key with the EdDSA algorithm. Prints the protected header and the
// payload as one JSON line and exits 0 when it does; prints the error and exits 1 otherwise.
//   node verify-countersign.mjs JWS PUBLIC_KEY_BASE64
import { compactVerify, importJWK } from 'jose';

const [jws, publicKey] = process.argv.slice(2);
try {
  const x = Buffer.from(publicKey, 'base64').toString('base64url');
  const key = await importJWK({ kty: 'OKP', crv: 'Ed25519', x }, 'EdDSA');
  const { payload, protectedHeader } = await compactVerify(jws, key, { algorithms: ['EdDSA'] });
  const claims = JSON.parse(new TextDecoder().decode(payload));
  console.log(JSON.stringify({ header: protectedHeader, payload: claims }));
} catch (error) {
  console.log(`rejected: ${error.message}`);
  process.exit(1);
}
