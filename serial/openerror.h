#pragma once

#include <QString>

// Which line setting an RFC 2217 server refused or left unconfirmed, in the order they are sent.
enum class LineSetting { BaudRate, DataBits, Parity, StopBits };

// What went wrong with a tcp:// or rfc2217:// line that did not open, as values; the front ends
// word it.
struct NetworkFault {
    enum Kind {
        None,
        BadAddress,     // the address is not SCHEME://HOST:PORT; scheme names the expected one
        ConnectTimeout, // no connection within seconds
        Refused,        // nobody serves the port
        HostNotFound,
        Unreachable,    // the network or the host cannot be reached
        ClosedByServer, // the server ended the connection; serverSaid is what it sent first
        SocketError,    // any other fault of the connection; OpenError::systemMessage tells why
        NoNegotiation,  // no answer to the RFC 2217 negotiation within seconds
        NotRfc2217,     // the server turned the COM-PORT-OPTION down
        NotConfirmed,   // setting was not confirmed within seconds
        NotAccepted,    // setting was answered with another value than requested
    };
    Kind kind = None;
    QString scheme{};      // BadAddress
    qint64 seconds = 0;    // ConnectTimeout, NoNegotiation, NotConfirmed: the time allowed
    QString serverSaid{};  // ClosedByServer: the server's own words, simplified, maybe empty
    LineSetting setting{}; // NotConfirmed, NotAccepted
    QString requested{};   // NotAccepted: the value asked for and the value answered, as
    QString answered{};    // numbers (a value of unexpected length in hex)
};

// Why the last open failed, for the operator's details.
struct OpenError {
    enum Kind {
        None,
        NoDevice,         // the number has no device (an on-board ghost, when ghost is set)
        Ghost,            // the device is an on-board port without hardware
        Absent,           // the device node does not exist
        PermissionDenied, // the user may not open the device
        Busy,             // another program holds the device
        Other,            // the driver refused; systemMessage tells why
        Network,          // a tcp:// or rfc2217:// line did not open; network tells why
        TooManyFiles,     // the program holds as many descriptors as it may (local or network)
    };
    Kind kind = None;
    QString device;        // the device path, or the address of a network line
    QString group;         // PermissionDenied: the group that owns the device
    qint64 holderPid = 0;  // Busy: the process named by the lock file, where known
    QString holderName;    // and its command name
    QString systemMessage; // the system's own words (the OS's or Qt's), untranslated
    QString failedCall;    // Other: the driver call that refused, with what it was asked, e.g.
                           // "SetCommState (9600,n,8,1)"; empty when the device did not open
    NetworkFault network;  // Network
    qint64 fileLimit = 0;  // TooManyFiles: the program's open-files limit, 0 where unknown
};
