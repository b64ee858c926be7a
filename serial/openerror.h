#pragma once

#include <QString>

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
        Network,          // a tcp:// or rfc2217:// line did not open; systemMessage tells why
    };
    Kind kind = None;
    QString device;       // the device path, or the address of a network line
    QString group;        // PermissionDenied: the group that owns the device
    qint64 holderPid = 0; // Busy: the process named by the lock file, where known
    QString holderName;   // and its command name
    QString systemMessage;
};
