#pragma once
// The publisher's tool: "make" writes the update list of a release folder,
// "check" compares what a server delivers with its list.
#include <QStringList>

class QTextStream;

// Runs the tool on arguments (the program's name first, as a process receives them).
// Output meant for scripts goes to out, progress and errors to err. Returns the exit
// status: 0 on success, 1 when refused or on any difference, 2 on a command-line error.
int RunPublish(const QStringList& arguments, QTextStream& out, QTextStream& err);

// text with each control character shown as "<U+XXXX>", safe to print on a terminal.
QString VisibleText(const QString& text);
