#include <gtest/gtest.h>

#include <cmath>

#include "core/zqDateTime.h"
#include "tests/support/zqTestSupport.h"
#include "tests/tls/zqTlsTestCertificates.h"
#include "tls/zqCertificate.h"
#include "tls/zqCryptAPI.h"
#include "tls/zqCryptHash.h"

namespace zq {
namespace {

using test::TlsCertificates;

TEST(Md5Hex, Rfc1321TestSuite) {
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  // no digest of nothing: an empty text stays empty
  EXPECT_EQ(Md5Hex(""), "");
}

TEST(Md5, DoneReadiesTheObjectForANewHashAndUpdateTakesARange) {
  TzqMd5 md5;
  md5.Init();
  EXPECT_EQ(md5.GetHashSize(), 16);
  TzqByteArray bytes = test::ToBytes("xxabcxx");
  md5.Update(bytes, 2, 3);
  TzqByteArray first;
  md5.Done(first);
  EXPECT_EQ(LowerCase(HexOfBytes(first)), "900150983cd24fb0d6963f7d28e17f72");
  TzqByteArray a = test::ToBytes("a");
  md5.Update(a, 0, 1);
  TzqByteArray second;
  md5.Done(second);
  EXPECT_EQ(LowerCase(HexOfBytes(second)), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_THROW(md5.Update(a, 1, 1), EzqCryptError);
}

class UnknownProviderHash : public TzqMd5 {
public:
  std::string ProviderName() const override { return "No Such Provider"; }
};

TEST(CryptApiHash, FailuresCarryTheCallAndThePlatformError) {
  UnknownProviderHash hash;
  try {
    hash.Init();
    FAIL();
  } catch (const EzqCryptError& e) {
    EXPECT_EQ(static_cast<uint32_t>(e.ErrorCode()), NTE_KEYSET_NOT_DEF);
    EXPECT_STREQ(e.what(), "The keyset is not defined");
  }
  EXPECT_EQ(CryptErrorText(12345, "CryptHashData"), "CryptHashData error - 12345");
}

TEST(Certificate, FieldsOfAGeneratedCertificate) {
  test::TimeZoneScope utc("UTC");
  auto certificate = TlsCertificates::Get().Load("fields");
  EXPECT_EQ(certificate->IssuedTo(), "Fields Test");
  EXPECT_EQ(certificate->IssuedBy(), "Test Root CA");
  EXPECT_EQ(certificate->Email(), "fields@example.org");
  EXPECT_EQ(certificate->SerialNumber(), "0A0B0C");
  EXPECT_DOUBLE_EQ(certificate->ValidFrom(), EncodeDate(2024, 1, 1));
  EXPECT_DOUBLE_EQ(certificate->ValidTo(), EncodeDate(2034, 1, 1));
  EXPECT_EQ(certificate->Version(), 2);
  EXPECT_EQ(certificate->KeyLength(), 256);
  EXPECT_EQ(certificate->PublicKeyAlgorithm(), "1.2.840.10045.2.1");
  EXPECT_EQ(certificate->PublicKeyAlgorithmName(), "ECC");
  EXPECT_EQ(certificate->SignatureAlgorithm(), "1.2.840.113549.1.1.11");
  EXPECT_EQ(certificate->SignatureAlgorithmName(), "sha256RSA");
  EXPECT_EQ(certificate->EnhancedKeyUsage(), "1.3.6.1.5.5.7.3.1,1.3.6.1.5.5.7.3.2");
  EXPECT_EQ(certificate->Thumbprint().size(), 40u);
  EXPECT_EQ(certificate->SubjectKeyIdentifier().size(), 40u);
  EXPECT_EQ(certificate->FriendlyName(), "");
}

TEST(Certificate, ThumbprintIsTheSha1OfTheEncodingAndFriendlyNameIsAProperty) {
  auto certificate = TlsCertificates::Get().Load("server");
  TzqByteArray der = CertEncoded(certificate->Context());
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  ASSERT_TRUE(CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, der.data(), static_cast<uint32_t>(der.size()), 0));
  uint8_t digest[20];
  uint32_t size = sizeof digest;
  ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0));
  CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  EXPECT_EQ(certificate->Thumbprint(), HexOfBuffer(digest, 20));
  EXPECT_EQ(certificate->EnhancedKeyUsage(), "1.3.6.1.5.5.7.3.1");

  std::u16string name = u"My Server";
  CertSetCertificateContextProperty(certificate->Context(), CERT_FRIENDLY_NAME_PROP_ID, name.c_str(),
                                    static_cast<uint32_t>((name.size() + 1) * 2));
  TzqCertificate copy(certificate->Context());
  EXPECT_EQ(copy.FriendlyName(), "My Server");
}

TEST(Certificate, EmailFromTheAlternativeNamesAndNoUsages) {
  auto certificate = TlsCertificates::Get().Load("altmail");
  EXPECT_EQ(certificate->Email(), "alt@example.org");
  EXPECT_EQ(certificate->EnhancedKeyUsage(), "");
  EXPECT_EQ(certificate->KeyLength(), 2048);
  EXPECT_EQ(certificate->PublicKeyAlgorithmName(), "RSA");
}

TEST(Certificate, ContextsFromDerAndBadInput) {
  auto server = TlsCertificates::Get().Load("server");
  TzqByteArray der = CertEncoded(server->Context());
  PCCERT_CONTEXT context =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<uint32_t>(der.size()));
  ASSERT_NE(context, nullptr);
  TzqCertificate fromDer(context);
  CertFreeCertificateContext(context);
  EXPECT_EQ(fromDer.IssuedTo(), "localhost");
  EXPECT_EQ(fromDer.SerialNumber(), server->SerialNumber());
  der.resize(der.size() / 2);
  EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<uint32_t>(der.size())), nullptr);
  EXPECT_EQ(CryptGetLastError(), CRYPT_E_ASN1_BADTAG);
  EXPECT_EQ(CertLoadPemFiles(TlsCertificates::Get().File("server.pem"), TlsCertificates::Get().File("client.key")),
            nullptr);
  EXPECT_EQ(CryptGetLastError(), NTE_BAD_KEYSET);
}

TEST(CertificateList, OwnedItemsAreDestroyedOnClear) {
  TzqCertificateList list(true);
  EXPECT_EQ(list.Add(TlsCertificates::Get().Load("server").release()), 0);
  EXPECT_EQ(list.Add(TlsCertificates::Get().Load("client").release()), 1);
  EXPECT_EQ(list.Item(1)->IssuedTo(), "Test Client");
  EXPECT_THROW(list.Item(2), EzqError);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

// The SSL policy verdict of a certificate for a host name, with ignore-checks.
uint32_t PolicyVerdict(const std::string& name, const char16_t* host, uint32_t checks = 0, uint32_t policyFlags = 0) {
  auto certificate = TlsCertificates::Get().Load(name);
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  CERT_CHAIN_PARA para;
  EXPECT_TRUE(CertGetCertificateChain(nullptr, certificate->Context(), nullptr, certificate->Context(), &para, 0,
                                      nullptr, &chain));
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
  ssl.fdwChecks = checks;
  ssl.pwszServerName = host;
  CERT_CHAIN_POLICY_PARA policy;
  policy.dwFlags = policyFlags;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status;
  EXPECT_TRUE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status));
  CertFreeCertificateChain(chain);
  return status.dwError;
}

TEST(ChainPolicy, VerdictsCarryTheCryptoApiCodesAndIgnoreFlagsLiftThem) {
  EXPECT_EQ(PolicyVerdict("server", u"localhost"), 0u);
  EXPECT_EQ(PolicyVerdict("server", u"127.0.0.1"), 0u);
  EXPECT_EQ(PolicyVerdict("server", u"::1"), 0u);
  EXPECT_EQ(PolicyVerdict("expired", u"localhost"), CERT_E_EXPIRED);
  EXPECT_EQ(PolicyVerdict("expired", u"localhost", SECURITY_FLAG_IGNORE_CERT_DATE_INVALID), 0u);
  EXPECT_EQ(PolicyVerdict("wronghost", u"localhost"), CERT_E_CN_NO_MATCH);
  EXPECT_EQ(PolicyVerdict("wronghost", u"wrong.example"), 0u);
  EXPECT_EQ(PolicyVerdict("wronghost", u"localhost", SECURITY_FLAG_IGNORE_CERT_CN_INVALID), 0u);
  EXPECT_EQ(PolicyVerdict("selfsigned", u"localhost"), CERT_E_UNTRUSTEDROOT);
  EXPECT_EQ(PolicyVerdict("selfsigned", u"localhost", SECURITY_FLAG_IGNORE_UNKNOWN_CA), 0u);
  EXPECT_EQ(PolicyVerdict("unknownca", u"localhost"), CERT_E_CHAINING);
  EXPECT_EQ(PolicyVerdict("unknownca", u"localhost", 0, CERT_CHAIN_POLICY_IGNORE_ALL_FLAGS), 0u);
  // the whole-chain relaxation does not cover the name
  EXPECT_EQ(PolicyVerdict("wronghost", u"localhost", 0, CERT_CHAIN_POLICY_IGNORE_ALL_FLAGS), CERT_E_CN_NO_MATCH);
  EXPECT_EQ(PolicyVerdict("client", u"localhost", SECURITY_FLAG_IGNORE_CERT_CN_INVALID), CERT_E_WRONG_USAGE);
  EXPECT_EQ(
      PolicyVerdict("client", u"localhost", SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_WRONG_USAGE),
      0u);
}

TEST(ChainPolicy, RevocationCheckWithoutListsIsReportedOfflineUnlessIgnored) {
  auto certificate = TlsCertificates::Get().Load("server");
  for (uint32_t checks : {0u, SECURITY_FLAG_IGNORE_REVOCATION}) {
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    CERT_CHAIN_PARA para;
    ASSERT_TRUE(CertGetCertificateChain(nullptr, certificate->Context(), nullptr, nullptr, &para,
                                        CERT_CHAIN_REVOCATION_CHECK_END_CERT, nullptr, &chain));
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    ssl.fdwChecks = checks;
    ssl.pwszServerName = u"localhost";
    CERT_CHAIN_POLICY_PARA policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    ASSERT_TRUE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status));
    CertFreeCertificateChain(chain);
    EXPECT_EQ(status.dwError, checks == 0 ? CRYPT_E_REVOCATION_OFFLINE : 0u);
  }
}

}  // namespace
}  // namespace zq
