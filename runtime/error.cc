#include "runtime/error.h"

#include <cerrno>

namespace fenra {

std::string_view error_name(Error e) {
    switch (e) {
#define FENRA_ERROR_NAME(n) \
    case Error::n:          \
        return #n;
        FENRA_ERROR_NAME(InvalidArgs)
        FENRA_ERROR_NAME(PathTooLong)
        FENRA_ERROR_NAME(NameTooLong)
        FENRA_ERROR_NAME(OutOfMemory)
        FENRA_ERROR_NAME(SystemResources)
        FENRA_ERROR_NAME(ProcessFdQuotaExceeded)
        FENRA_ERROR_NAME(PermissionDenied)
        FENRA_ERROR_NAME(AccessDenied)
        FENRA_ERROR_NAME(AddressInUse)
        FENRA_ERROR_NAME(InvalidAddress)
        FENRA_ERROR_NAME(FileNotFound)
        FENRA_ERROR_NAME(IsDir)
        FENRA_ERROR_NAME(StreamTooLong)
        FENRA_ERROR_NAME(Unexpected)
        FENRA_ERROR_NAME(EventNotFound)
        FENRA_ERROR_NAME(ProcessNotFound)
        FENRA_ERROR_NAME(MessageTooShort)
        FENRA_ERROR_NAME(Malformed)
        FENRA_ERROR_NAME(FieldTooLong)
        FENRA_ERROR_NAME(BufferTooSmall)
        FENRA_ERROR_NAME(SendBufferFull)
        FENRA_ERROR_NAME(WouldBlock)
        FENRA_ERROR_NAME(ConnectionClosed)
        FENRA_ERROR_NAME(ConnectionReset)
        FENRA_ERROR_NAME(ReadFailed)
        FENRA_ERROR_NAME(BufferFull)
        FENRA_ERROR_NAME(NoSpaceLeft)
        FENRA_ERROR_NAME(ForbiddenXmlConstruct)
        FENRA_ERROR_NAME(InvalidEntityReference)
        FENRA_ERROR_NAME(InvalidCharacter)
        FENRA_ERROR_NAME(SslInitFailed)
        FENRA_ERROR_NAME(CertLoadFailed)
        FENRA_ERROR_NAME(KeyLoadFailed)
        FENRA_ERROR_NAME(KeyMismatch)
        FENRA_ERROR_NAME(TlsInitFailed)
        FENRA_ERROR_NAME(HandshakeFailed)
        FENRA_ERROR_NAME(ParseError)
        FENRA_ERROR_NAME(ResolverFailed)
        FENRA_ERROR_NAME(NoTrustAnchor)
        FENRA_ERROR_NAME(InvalidUrl)
        FENRA_ERROR_NAME(ConnectionFailed)
        FENRA_ERROR_NAME(TlsHandshakeFailed)
        FENRA_ERROR_NAME(TlsWriteFailed)
        FENRA_ERROR_NAME(InvalidResponse)
        FENRA_ERROR_NAME(InvalidFormat)
        FENRA_ERROR_NAME(InvalidBase64)
#undef FENRA_ERROR_NAME
    }
    return "Unexpected";
}

Error error_from_errno(int err) {
    switch (err) {
        case ENOMEM:
        case ENOBUFS:
            return Error::SystemResources;
        case EMFILE:
            return Error::ProcessFdQuotaExceeded;
        case ENFILE:
            return Error::SystemResources;
        case EACCES:
            return Error::AccessDenied;
        case EPERM:
            return Error::PermissionDenied;
        case EADDRINUSE:
            return Error::AddressInUse;
        case EADDRNOTAVAIL:
        case EAFNOSUPPORT:
            return Error::InvalidAddress;
        case ENOENT:
            return Error::FileNotFound;
        case EISDIR:
            return Error::IsDir;
        case ENAMETOOLONG:
            return Error::NameTooLong;
        case EAGAIN:
            return Error::WouldBlock;
        case ECONNRESET:
        case EPIPE:
            return Error::ConnectionReset;
        default:
            return Error::Unexpected;
    }
}

}  // namespace fenra
