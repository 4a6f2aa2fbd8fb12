// The shape of an X.509 certificate, judged by our own reading of its DER before CryptoAPI
// sees it: a certificate that comes in a signature file is the file author's to craft, and
// CryptoAPI's decoders (Wine's above all) are not a judge to hand it to untried. Sound is:
//   - strict DER throughout, every length and INTEGER in its shortest form, nothing trailing;
//   - a known version (v1 left out, v2 or v3), a serial number, the same signature algorithm
//     inside and outside;
//   - names of attributes each with a present object identifier; a validity of two times;
//   - a public key and a signature, each a BIT STRING with content;
//   - extensions (v3 only) each with an object identifier, a critical flag only when TRUE,
//     and a value.
// Nothing here says whether the certificate is trustworthy: only that it can be read safely.
#pragma once
#include <windows.h>
#include <cstddef>

bool SoundCertificate(const BYTE* der, size_t size);
