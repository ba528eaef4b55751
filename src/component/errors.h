// Error values of the crypto component: what get_lastError answers after a failed call, and the
// low 16 bits of the failing HRESULT. docs/component.md lists them for page authors; keep both
// stable.
#pragma once

#include <cstdint>

#include "platform/component_runtime.h"

namespace qm::component {

enum ErrorCode : std::int32_t {
  kOk = 0,
  // Parameters and encodings.
  kErrMissingParameter = 1001,  // a required text is null or empty
  kErrBadFlag = 1002,           // a flag, hash choice or index outside the documented values
  kErrNotBase64 = 1003,         // text that should be Base64 is not
  kErrNotCertificate = 1004,    // decoded bytes are not a DER (or PEM) X.509 certificate
  kErrTooLarge = 1005,          // input beyond the documented size limit
  kErrCodePage = 1006,          // code page unknown to this system
  kErrConversion = 1007,        // text not representable in (or not valid for) the code page
  kErrNotPresent = 1008,        // the certificate does not carry the asked field
  kErrBadData = 1009,           // a signature or cipher text that cannot be parsed
  // Tokens.
  kErrNoToken = 2001,       // no token (card) present
  kErrTokenRemoved = 2002,  // the token in use went away
  kErrSlotRange = 2003,     // reader slot index beyond the tokens present
  kErrToken = 2004,         // the token refused or failed an operation
  kErrNoKey = 2005,         // no certificate with a private key fit for the operation
  // PIN.
  kErrPinEmpty = 3001,      // no PIN given and no earlier login
  kErrPinIncorrect = 3002,  // wrong PIN; the login was cleared
  kErrPinLocked = 3003,     // the token locked its user PIN
  kErrPinFinalTry = 3004,   // wrong PIN, and the next wrong one locks the token
  kErrPinLength = 3005,     // PIN length outside what the token accepts
  kErrNotLoggedIn = 3006,   // an operation that needs a login found none
  // Signing, encryption.
  kErrSign = 4001,         // the token could not sign
  kErrEncrypt = 4002,      // encryption failed (key type, data too long)
  kErrDecrypt = 4003,      // decryption failed (no matching key, damaged cipher text)
  kErrKeyType = 4004,      // the key's algorithm cannot do this operation
  kErrNoSignature = 4005,  // signature index beyond the signatures present
  // XML and files.
  kErrXmlParse = 5001,        // the XML is not well-formed
  kErrXmlNoSignature = 5002,  // no signature element (with the given Id)
  kErrXmlTemplate = 5003,     // the signature template lacks a part or names an unknown method
  kErrXmlReference = 5004,    // a reference cannot be resolved
  kErrXmlNoDigest = 5005,     // signing an already digested template whose digests are empty
  kErrFileRead = 5006,        // the file cannot be read (or is not a regular file)
  kErrFileWrite = 5007,       // the file cannot be written
  kErrFileExists = 5008,      // refusing to overwrite an existing file
  kErrInternal = 9001,        // out of memory or an unexpected library failure
};

// Failure HRESULT carrying the code (customer bit clear, facility ITF).
constexpr com::HRESULT hresultOf(ErrorCode code) {
  return static_cast<com::HRESULT>(0x80040000u | (static_cast<std::uint32_t>(code) & 0xFFFFu));
}

}  // namespace qm::component
