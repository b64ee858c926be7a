#pragma once

#include "cli/cardsession.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class QCommandLineParser;

#include <initializer_list>
#include <optional>

// A value typed on the command line or in a plan that the program cannot take: the text says
// which and why.
struct UsageError {
    QString text;
};

// The command-line parser's own complaint, in the program's words.
QString parserError(const QCommandLineParser &parser);

// A whole number low..high, or nothing.
std::optional<int> wholeNumber(const QString &text, int low, int high);

// forward/reverse (or the window's words) for the polarity option named; a UsageError otherwise.
bool polarity(const QString &option, const QString &value);
// half/full (or the window's words); a UsageError otherwise.
bool fullScreen(const QString &value);

// COMn by the machine's rule, or a device path, tcp:// or rfc2217:// address as given; a
// UsageError for a COM number the program does not know.
PortChoice portChoice(const QString &value);

// Typed numbers as values, or the first refusal the window would show for them, in its order.
struct Typed {
    QString label;
    QString text;
    std::optional<int> *value;
};
std::optional<QString> readNumbers(std::initializer_list<Typed> typed);

// The settings options as typed: the numbers as text, to be refused with the window's texts,
// the words already read.
struct TypedSettings {
    QString newAddress, rows, chars;
    SettingsChoice words;
};
// The settings' values, or the first refusal the window would show for them.
std::optional<QString> readSettings(const TypedSettings &typed, SettingsChoice *choice);

// A ports file: one port a line; blanks around it, blank lines and lines starting with # are
// left out. A UsageError for a file that cannot be read or names no port.
QStringList portsFileLines(const QByteArray &bytes);
QStringList readPortsFile(const QString &path);
