#include "tls/zqSspi.h"

#include <gtest/gtest.h>

#include "platform/zqSecurityProvider.h"

namespace zq {
namespace {

class SspiLoading : public ::testing::Test {
protected:
  void TearDown() override { TzqSecurityLibraryHooks::Reset(); }
};

TEST_F(SspiLoading, FirstLibraryThatLoadsWinsAndSecur32ComesLast) {
  int security = TzqSecurityLibraryHooks::LoadCount("security.dll");
  int schannel = TzqSecurityLibraryHooks::LoadCount("schannel.dll");
  int secur32 = TzqSecurityLibraryHooks::LoadCount("secur32.dll");
  {
    TzqSspi sspi;
    ASSERT_NE(sspi.FunctionTable(), nullptr);
    EXPECT_EQ(TzqSecurityLibraryHooks::LoadCount("security.dll"), security + 1);
    EXPECT_EQ(TzqSecurityLibraryHooks::LoadCount("schannel.dll"), schannel);
  }
  TzqSecurityLibraryHooks::SetLoadFails("security.dll", true);
  {
    TzqSspi sspi;
    sspi.FunctionTable();
    EXPECT_EQ(TzqSecurityLibraryHooks::LoadCount("schannel.dll"), schannel + 1);
    EXPECT_EQ(TzqSecurityLibraryHooks::LoadCount("secur32.dll"), secur32);
  }
  TzqSecurityLibraryHooks::SetLoadFails("schannel.dll", true);
  TzqSspi sspi;
  sspi.FunctionTable();
  EXPECT_EQ(TzqSecurityLibraryHooks::LoadCount("secur32.dll"), secur32 + 1);
}

TEST_F(SspiLoading, EachObjectLoadsOnceAndReleasesItsOwnLoad) {
  int open = TzqSecurityLibraryHooks::OpenLoads();
  {
    TzqSspi never;  // never used: nothing to release
    TzqSspi a, b;
    SecurityFunctionTableA* table = a.FunctionTable();
    EXPECT_EQ(a.FunctionTable(), table);
    b.FunctionTable();
    EXPECT_EQ(TzqSecurityLibraryHooks::OpenLoads(), open + 2);
  }
  EXPECT_EQ(TzqSecurityLibraryHooks::OpenLoads(), open);
}

TEST_F(SspiLoading, FailuresRaiseTheirCodesAndTheNextUseTriesAgain) {
  for (const char* name : {"security.dll", "schannel.dll", "secur32.dll"})
    TzqSecurityLibraryHooks::SetLoadFails(name, true);
  TzqSspi sspi;
  try {
    sspi.FunctionTable();
    FAIL();
  } catch (const EzqSSPIError& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_STREQ(e.what(), "Could not load the dll (schannel.dll, security.dll or secur32.dll)");
  }
  TzqSecurityLibraryHooks::Reset();
  TzqSecurityLibraryHooks::SetEntryPointMissing("security.dll", true);
  try {
    sspi.FunctionTable();
    FAIL();
  } catch (const EzqSSPIError& e) {
    EXPECT_EQ(e.ErrorCode(), -2);
    EXPECT_STREQ(e.what(), "Could not get security initialization routine");
  }
  TzqSecurityLibraryHooks::Reset();
  TzqSecurityLibraryHooks::SetTableMissing("security.dll", true);
  try {
    sspi.FunctionTable();
    FAIL();
  } catch (const EzqSSPIError& e) {
    EXPECT_EQ(e.ErrorCode(), -3);
  }
  TzqSecurityLibraryHooks::Reset();
  int open = TzqSecurityLibraryHooks::OpenLoads();
  EXPECT_NE(sspi.FunctionTable(), nullptr);
  // the load kept from the failed attempt was given back: one load remains
  EXPECT_EQ(TzqSecurityLibraryHooks::OpenLoads(), open);
}

TEST(SspiErrorText, InternalCodesPlatformTextsAndUnknownCodes) {
  bool known = false;
  EXPECT_EQ(SspiErrorText(-5, known), "None of needed security package was found");
  EXPECT_TRUE(known);
  EXPECT_EQ(SspiErrorText(20, known), "Out of memory");
  // a platform text loses its closing period and line break
  EXPECT_EQ(SspiErrorText(SEC_E_INCOMPLETE_MESSAGE, known),
            "The message supplied was incomplete. The signature was not verified");
  EXPECT_TRUE(known);
  EXPECT_EQ(SspiErrorText(-7, known), "The unknown error was occured: FFFFFFF9");
  EXPECT_FALSE(known);
  EXPECT_EQ(SspiErrorText(0x1234ABCD, known), "The unknown error was occured: 1234ABCD");
}

TEST(RaiseSspiError, UnknownStatusTakesTheFallbackTextButKeepsItsCode) {
  try {
    RaiseSspiError(0x0ABCDEF0, -6);
  } catch (const EzqSSPIError& e) {
    EXPECT_STREQ(e.what(), "Could not query package information");
    EXPECT_EQ(e.ErrorCode(), 0x0ABCDEF0);
  }
  try {
    RaiseSspiError(SEC_E_ALGORITHM_MISMATCH, -4);
  } catch (const EzqSSPIError& e) {
    EXPECT_STREQ(e.what(), "The client and server cannot communicate, because they do not possess a common algorithm");
    EXPECT_EQ(e.ErrorCode(), SEC_E_ALGORITHM_MISMATCH);
  }
  EXPECT_THROW(RaiseSspiError(-12), EzqSSPIError);
}

}  // namespace
}  // namespace zq
