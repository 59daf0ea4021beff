// IPv4 TCP sockets, blocking, no options: the subset of Windows Sockets 1.1
// that the session uses, with errors reported as Winsock numbers on every
// platform so that the callers' rules read the same everywhere.
#pragma once

#include <cstdint>

namespace platform {

// A socket number. -1 means "no socket". Numbers handed out by SocketCreate
// are never reused within a process, so a stale number held by one thread can
// never reach a socket created later by another.
using SocketHandle = int32_t;
constexpr SocketHandle kInvalidSocket = -1;

// Winsock error numbers, the single vocabulary of SocketLastError().
constexpr int kWsaInterrupted = 10004;          // WSAEINTR
constexpr int kWsaAccessDenied = 10013;         // WSAEACCES
constexpr int kWsaBadAddress = 10014;           // WSAEFAULT
constexpr int kWsaInvalidArgument = 10022;      // WSAEINVAL
constexpr int kWsaTooManySockets = 10024;       // WSAEMFILE
constexpr int kWsaWouldBlock = 10035;           // WSAEWOULDBLOCK
constexpr int kWsaInProgress = 10036;           // WSAEINPROGRESS
constexpr int kWsaNotSocket = 10038;            // WSAENOTSOCK
constexpr int kWsaMessageSize = 10040;          // WSAEMSGSIZE
constexpr int kWsaAddressInUse = 10048;         // WSAEADDRINUSE
constexpr int kWsaAddressNotAvailable = 10049;  // WSAEADDRNOTAVAIL
constexpr int kWsaNetworkDown = 10050;          // WSAENETDOWN
constexpr int kWsaNetworkUnreachable = 10051;   // WSAENETUNREACH
constexpr int kWsaConnectionAborted = 10053;    // WSAECONNABORTED
constexpr int kWsaConnectionReset = 10054;      // WSAECONNRESET
constexpr int kWsaNoBufferSpace = 10055;        // WSAENOBUFS
constexpr int kWsaIsConnected = 10056;          // WSAEISCONN
constexpr int kWsaNotConnected = 10057;         // WSAENOTCONN
constexpr int kWsaShutdown = 10058;             // WSAESHUTDOWN
constexpr int kWsaTimedOut = 10060;             // WSAETIMEDOUT
constexpr int kWsaConnectionRefused = 10061;    // WSAECONNREFUSED
constexpr int kWsaHostUnreachable = 10065;      // WSAEHOSTUNREACH
constexpr int kWsaNotInitialised = 10093;       // WSANOTINITIALISED
constexpr int kWsaHostNotFound = 11001;         // WSAHOST_NOT_FOUND

// Starts the socket layer asking for version 1.1 (WSAStartup(257)); returns
// 0 on success or a Winsock error. Each successful start is matched by one
// SocketCleanup. On POSIX there is nothing to start, so it always succeeds.
int SocketStartup();
void SocketCleanup();

// socket(AF_INET, SOCK_STREAM, 0): a blocking socket, or kInvalidSocket.
SocketHandle SocketCreate();

// gethostbyname: a host name or a dotted address, first IPv4 address, in
// network byte order. Returns false when the name does not resolve.
bool ResolveHost(const char* szHost, uint32_t* pAddrNet);

// inet_addr: dotted-decimal text only, never a name lookup. Returns false for
// anything else (including "255.255.255.255", which inet_addr cannot tell
// from its error value).
bool ParseDottedAddress(const char* szHost, uint32_t* pAddrNet);

// connect() to an IPv4 address (network byte order) and a port (host byte
// order). Blocks until connected or refused or the system's own time-out.
// A SocketClose from another thread interrupts it. 0 or -1.
int SocketConnect(SocketHandle s, uint32_t dwAddrNet, uint16_t wPort);

// select() on this one socket with a zero time-out: never waits. Returns
// -1 (socket invalid or closed), 0 (nothing ready) or the number of sets the
// socket is in; *pbReadable / *pbWritable tell which.
int SocketPoll(SocketHandle s, bool* pbReadable, bool* pbWritable);

// recv()/send() with flags 0: bytes moved, 0 (recv: the peer closed), or -1
// with SocketLastError() set.
int SocketRecv(SocketHandle s, void* pBuf, int iLen);
int SocketSend(SocketHandle s, const void* pBuf, int iLen);

// closesocket(). Safe while another thread is inside a call on the same
// socket: that call is woken and fails, and the system resource is released
// only after the last such call has returned. Returns 0, or -1 for an
// unknown socket.
int SocketClose(SocketHandle s);

// The calling thread's last socket error as a Winsock number.
int SocketLastError();

// The server side, for the reference server and the tests: a listening
// socket bound to an IPv4 address (network byte order; 0.0.0.0 for every
// interface of the machine) or to 127.0.0.1 (port 0 asks for a free one,
// reported in *pwBoundPort; kInvalidSocket with SocketLastError() set, e.g.
// kWsaAddressInUse or kWsaAddressNotAvailable for an address that is not
// this machine's); accept() that blocks until a peer connects or the
// listener is closed; shutdown of the sending direction, so the peer reads
// end-of-stream while the socket stays open.
SocketHandle SocketListen(uint32_t dwAddrNet, uint16_t wPort, uint16_t* pwBoundPort);
SocketHandle SocketListenLoopback(uint16_t wPort, uint16_t* pwBoundPort);
SocketHandle SocketAccept(SocketHandle listener);
int SocketShutdownSend(SocketHandle s);

// Options the reference server needs and the library never sets. SO_RCVBUF
// of a socket; set on a listener before any peer connects, every accepted
// connection inherits it (the system may round it). 0 or -1.
int SocketSetReceiveBuffer(SocketHandle s, int iBytes);
// Closes the socket with a reset (no linger) instead of the orderly end:
// the system discards what is unsent and the peer gets RST. 0, or -1 for an
// unknown socket.
int SocketCloseWithReset(SocketHandle s);

}  // namespace platform
