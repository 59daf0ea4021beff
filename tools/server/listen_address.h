// The IPv4 address the reference server listens on: strict parsing of what
// a user types, the text printed back, and why a listen failed.
#pragma once

#include <cstdint>
#include <string>

namespace refserver {

// 127.0.0.1 in network byte order.
uint32_t LoopbackAddress();

// Four decimal numbers from 0 to 255 joined by dots, and nothing else: no
// shortened forms ("10.1.2"), no octal or hexadecimal parts, no leading
// zeros, no spaces. The address in network byte order. The system's own
// parser accepts all of those and would bind where the user did not mean.
bool ParseIPv4Address(const std::string& text, uint32_t* pAddrNet);

// "A.B.C.D" for an address in network byte order.
std::string FormatIPv4Address(uint32_t dwAddrNet);

// Why a listen failed, from the socket layer's error number: a few words
// for the user.
std::string ListenErrorText(int iWsaError);

}  // namespace refserver
