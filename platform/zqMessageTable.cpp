#include "platform/zqMessageTable.h"

#include <algorithm>
#include <iterator>

#include "core/zqText.h"

namespace zq {

namespace {

struct TzqMessageEntry {
  uint32_t code;
  const char* text;
};

// Sorted by code.
const TzqMessageEntry kMessages[] = {
    {0x00000000, "The operation completed successfully.\r\n"},
    {0x00000002, "The system cannot find the file specified.\r\n"},
    {0x00000008, "Not enough memory resources are available to process this command.\r\n"},
    {0x00090312, "The function completed successfully, but must be called again to complete the context.\r\n"},
    {0x00090313, "The function completed successfully, but CompleteToken must be called.\r\n"},
    {0x00090317, "The context has expired and can no longer be used.\r\n"},
    {0x00090320,
     "The credentials supplied were not complete, and could not be verified. Additional information can be returned "
     "from the context.\r\n"},
    {0x00090321, "The context data must be renegotiated with the peer.\r\n"},
    {0x80090003,
     "The certificate chain holds a key or signature weaker than security level 2 allows (RSA or DSA below 2048 bits, "
     "SHA-1 or MD5).\r\n"},
    {0x80090016, "Keyset does not exist.\r\n"},
    {0x80090019, "The keyset is not defined.\r\n"},
    {0x80090020, "Internal error.\r\n"},
    {0x80090300, "Not enough memory is available to complete this request.\r\n"},
    {0x80090301, "The handle specified is invalid.\r\n"},
    {0x80090302, "The function requested is not supported.\r\n"},
    {0x80090304, "The Local Security Authority cannot be contacted.\r\n"},
    {0x80090305, "The requested security package does not exist.\r\n"},
    {0x80090308, "The token supplied to the function is invalid.\r\n"},
    {0x8009030D, "The credentials supplied to the package were not recognized.\r\n"},
    {0x8009030E, "No credentials are available in the security package.\r\n"},
    {0x8009030F, "The message or signature supplied for verification has been altered.\r\n"},
    {0x80090317, "The context has expired and can no longer be used.\r\n"},
    {0x80090318, "The message supplied was incomplete. The signature was not verified.\r\n"},
    {0x80090321, "The buffers supplied to a function was too small.\r\n"},
    {0x80090322, "The target principal name is incorrect.\r\n"},
    {0x80090325, "The certificate chain was issued by an authority that is not trusted.\r\n"},
    {0x80090326, "The message received was unexpected or badly formatted.\r\n"},
    {0x80090327, "An unknown error occurred while processing the certificate.\r\n"},
    {0x80090328, "The received certificate has expired.\r\n"},
    {0x80090330, "The specified data could not be decrypted.\r\n"},
    {0x80090331, "The client and server cannot communicate, because they do not possess a common algorithm.\r\n"},
    {0x8009035D, "One or more of the parameters passed to the function was invalid.\r\n"},
    {0x80092004, "Cannot find object or property.\r\n"},
    {0x80092010, "The certificate is revoked.\r\n"},
    {0x80092013,
     "The revocation function was unable to check revocation because the revocation server was offline.\r\n"},
    {0x8009310B, "ASN1 bad tag value met.\r\n"},
    {0x80096004, "The signature of the certificate cannot be verified.\r\n"},
    {0x800B0101,
     "A required certificate is not within its validity period when verifying against the current system clock or the "
     "timestamp in the signed file.\r\n"},
    {0x800B0109,
     "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust "
     "provider.\r\n"},
    {0x800B010A, "A certificate chain could not be built to a trusted root authority.\r\n"},
    {0x800B010B, "Generic trust failure.\r\n"},
    {0x800B010F, "The certificate's CN name does not match the passed value.\r\n"},
    {0x800B0110, "The certificate is not valid for the requested usage.\r\n"},
};

}  // namespace

std::string SystemMessageText(uint32_t code) {
  auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                             [](const TzqMessageEntry& e, uint32_t c) { return e.code < c; });
  return it != std::end(kMessages) && it->code == code ? it->text : std::string();
}

std::string SystemMessageShortText(uint32_t code) {
  std::string text = SystemMessageText(code);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.')) text.pop_back();
  return Trim(text);
}

}  // namespace zq
