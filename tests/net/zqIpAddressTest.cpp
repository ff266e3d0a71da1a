// IP address objects and their texts.

#include "net/zqIpAddress.h"

#include <gtest/gtest.h>

namespace zq {
namespace {

// Reports getaddrinfo as absent for the lifetime of the object.
struct WithoutAddressLists {
  WithoutAddressLists() { SetAddressListFunctionsAvailable(false); }
  ~WithoutAddressLists() { SetAddressListFunctionsAvailable(true); }
};

std::string FormatGroups(std::initializer_list<uint16_t> groups) {
  uint8_t bytes[16] = {};
  int i = 0;
  for (uint16_t g : groups) {
    bytes[i++] = static_cast<uint8_t>(g >> 8);
    bytes[i++] = static_cast<uint8_t>(g);
  }
  return FormatIPv6(bytes);
}

template <typename F>
int CodeOf(F f) {
  try {
    f();
  } catch (const EzqSocketError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(FormatIPv6, CompressesOnlyTheFirstRunOfTwoOrMore) {
  EXPECT_EQ(FormatGroups({0, 0, 0, 0, 0, 0, 0, 1}), "::1");
  EXPECT_EQ(FormatGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}), "FE80::1");
  EXPECT_EQ(FormatGroups({1, 0, 2, 0, 0, 0, 0, 3}), "1:0:2:0:0:0:0:3");
  EXPECT_EQ(FormatGroups({1, 2, 0, 0, 0, 0, 0, 0}), "1:2::");
  EXPECT_EQ(FormatGroups({0, 0, 0, 0, 0, 0, 0, 0}), "::");
  EXPECT_EQ(FormatGroups({1, 2, 3, 4, 5, 6, 7, 0}), "1:2:3:4:5:6:7:0");
  EXPECT_EQ(FormatGroups({0x2001, 0xdb8, 0, 0, 1, 0, 0, 0xabcd}), "2001:DB8::1:0:0:ABCD");
  EXPECT_EQ(FormatGroups({0, 1, 0, 0, 0, 0, 0, 0}), "0:1:0:0:0:0:0:0");
}

TEST(IPAddress, ParsesBothFamiliesAndNeverNames) {
  auto v4 = TzqIPAddress::ParseAddress("192.168.1.20");
  EXPECT_EQ(v4->Family(), kAfInet);
  EXPECT_FALSE(v4->IsIPv6());
  EXPECT_EQ(v4->ToText(), "192.168.1.20");
  auto v6 = TzqIPAddress::ParseAddress("fe80::0:1");
  EXPECT_EQ(v6->Family(), kAfInet6);
  EXPECT_TRUE(v6->IsIPv6());
  EXPECT_EQ(v6->ToText(), "FE80::1");
  EXPECT_EQ(CodeOf([] { TzqIPAddress::ParseAddress("localhost"); }), -2);
  EXPECT_FALSE(TzqIPAddress::IsIPAddress(""));
  EXPECT_FALSE(TzqIPAddress::IsIPAddress("example.com"));
  EXPECT_TRUE(TzqIPAddress::IsIPAddress("::1"));
}

TEST(IPAddress, AllOnesNeedsTheAddressListFunctions) {
  EXPECT_EQ(TzqIPAddress::ParseAddress("255.255.255.255")->ToText(), "255.255.255.255");
  WithoutAddressLists off;
  EXPECT_EQ(CodeOf([] { TzqIPAddress::ParseAddress("255.255.255.255"); }), -2);
  EXPECT_FALSE(TzqIPAddress::IsIPAddress("::1"));
  EXPECT_TRUE(TzqIPAddress::IsIPAddress("10.1.2.3"));
  EXPECT_NE(dynamic_cast<TzqIPAddress4*>(TzqIPAddress::CreateForFamily(kAfInet).get()), nullptr);
  EXPECT_EQ(CodeOf([] { TzqIPAddress::CreateForFamily(kAfInet6); }), -7);
}

TEST(IPAddress, PortsAndFamilies) {
  TzqIPAddress6 empty;
  EXPECT_EQ(empty.GetPort(), 0);
  EXPECT_EQ(empty.Family(), 0);
  EXPECT_EQ(empty.ToText(), "");
  EXPECT_EQ(CodeOf([&] { empty.SetPort(80); }), -2);
  EXPECT_EQ(CodeOf([&] { empty.SetPort(-1); }), -3);
  TzqIPAddress4 four;
  EXPECT_EQ(CodeOf([&] { four.InitFamily(kAfInet6); }), -7);
  four.InitAny(kAfInet);
  four.SetPort(8080);
  EXPECT_EQ(four.GetPort(), 8080);
  EXPECT_EQ(four.ToText(), "0.0.0.0");
  EXPECT_EQ(CodeOf([] { TzqIPAddress::CreateForFamily(99); }), -7);
  auto any6 = TzqIPAddress::CreateAddress("", kAfInet6);
  EXPECT_EQ(any6->ToText(), "::");
  any6->SetPort(443);
  EXPECT_EQ(any6->GetPort(), 443);
  EXPECT_EQ(any6->SockAddrLength(), 28);
  EXPECT_EQ(TzqIPAddress::CreateAddress("127.0.0.1", kAfInet6)->Family(), kAfInet);
}

}  // namespace
}  // namespace zq
