#pragma once

#include <QString>

#include <chrono>
#include <cstdint>

// The controls of the window that the card commands read or write.
enum class Control {
    Combo1,       // serial port
    Combo2,       // original address
    Combo3,       // rows
    Combo4,       // characters per row
    Combo5,       // data polarity
    Combo6,       // OE polarity
    Combo7,       // scan mode
    Combo8,       // new address
    RichTextBox1, // initial display text
    RichTextBox2, // display text
    Command6,     // initial display text button
    Command7,     // display text button
};

// Message box styles and answers, as the window shows them.
inline constexpr int kMsgCritical = 16; // critical icon, one button "确定"
inline constexpr int kMsgOkCancel = 1;  // "确定" and "取消", OK the default, no icon
inline constexpr int kMsgResultOk = 1;
inline constexpr int kMsgResultCancel = 2;

// What the card commands may do to the window, and nothing more, so that they run the same
// against the real window and against a stand-in.
class WindowOperations {
  public:
    virtual ~WindowOperations() = default;

    virtual void addItem(Control list, const QString &item) = 0;
    // Selects the item at a zero-based index; -1 clears the selection and the edit field.
    // An index past the last item is refused: false, and nothing changes.
    virtual bool setListIndex(Control list, int index) = 0;
    // The text of the list's edit field, exactly as typed or chosen.
    virtual QString listText(Control list) const = 0;
    virtual void setListText(Control list, const QString &text) = 0;

    // The text of a text box, line breaks as CR LF.
    virtual QString plainText(Control box) const = 0;
    virtual void setPlainText(Control box, const QString &text) = 0;

    virtual void setCaption(Control button, const QString &caption) = 0;
    virtual void setLampColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) = 0;

    virtual void setTimerInterval(std::chrono::milliseconds interval) = 0;
    virtual void setTimerEnabled(bool enabled) = 0;

    // Shows a modal message box; returns kMsgResultOk or kMsgResultCancel.
    virtual int msgBox(const QString &text, const QString &title, int style) = 0;
};
