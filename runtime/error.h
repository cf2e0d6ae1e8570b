// Named errors shared by every module of both daemons. A routine either
// succeeds or returns one of these to its caller; log lines render them as
// "error." followed by the name.
#pragma once

#include <cstdint>
#include <string_view>

namespace fenra {

enum class Error : uint16_t {
    // process and command line
    InvalidArgs,
    PathTooLong,
    NameTooLong,
    // system resources and sockets
    OutOfMemory,
    SystemResources,
    ProcessFdQuotaExceeded,
    PermissionDenied,
    AccessDenied,
    AddressInUse,
    InvalidAddress,
    FileNotFound,
    IsDir,
    StreamTooLong,
    Unexpected,
    // event loop
    EventNotFound,
    ProcessNotFound,
    // IPC codec and server
    MessageTooShort,
    Malformed,
    FieldTooLong,
    BufferTooSmall,
    SendBufferFull,
    // I/O on connections
    WouldBlock,
    ConnectionClosed,
    ConnectionReset,
    ReadFailed,
    BufferFull,
    NoSpaceLeft,
    // XML parser
    ForbiddenXmlConstruct,
    InvalidEntityReference,
    InvalidCharacter,
    // TLS and DNS
    SslInitFailed,
    CertLoadFailed,
    KeyLoadFailed,
    KeyMismatch,
    TlsInitFailed,
    HandshakeFailed,
    ParseError,
    ResolverFailed,
    NoTrustAnchor,
    // HTTPS client and OIDC backend
    InvalidUrl,
    ConnectionFailed,
    TlsHandshakeFailed,
    TlsWriteFailed,
    InvalidResponse,
    InvalidFormat,
    InvalidBase64,
};

// The bare name of an error, for example "PathTooLong".
std::string_view error_name(Error e);

// Maps an errno value to the closest named error (used for file and socket calls).
Error error_from_errno(int err);

}  // namespace fenra
