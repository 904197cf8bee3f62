#pragma once

#include <functional>

#include <QString>

class QDialog;

// Every modal box and picker the program shows goes through here: in the program a modal box with the
// exact text, no title and no icon; in tests a handler reads the text and answers, so nothing blocks.
class UserDialogs {
public:
    enum class Look {
        Plain,   // the ordinary message box
        Framed,  // the close button's boxes: frameless, light, with a thin grey frame
    };

    // A message with an OK button.
    static void inform(const QString &text, Look look = Look::Plain);
    // A question with Yes and No (in this order); true for Yes.
    static bool askYesNo(const QString &text, Look look = Look::Framed);
    // Runs a dialog of the program's modally (in tests: hands its window title to the handler instead).
    static void runModal(QDialog &dialog);
    // The platform's directory picker; empty when cancelled.
    static QString chooseDirectory(const QString &caption);

    // Tests: every message and question goes to `handler` (its return value answers a question), and the
    // directory picker returns `directory`.
    struct Handler {
        std::function<bool(const QString &text)> onMessage;
        QString directory;
    };
    static void setHandler(Handler handler);
    static void clearHandler();
};
