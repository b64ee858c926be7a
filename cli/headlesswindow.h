#pragma once

#include "protocol/windowops.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>

// The window's controls without a window: the lists with the items the window loads into
// them, the two text boxes, the button captions and the reply timer. The card commands run on
// it exactly as on the window, so the command line sends what the window sends for the same
// choices. Message boxes go to the program: errors to a handler, the broadcast question to an
// answer given beforehand.
class HeadlessWindow : public QObject, public WindowOperations {
    Q_OBJECT
  public:
    HeadlessWindow();

    // Fills the lists and boxes as the window does when it loads.
    void load();

    // WindowOperations
    void addItem(Control list, const QString &item) override;
    bool setListIndex(Control list, int index) override;
    QString listText(Control list) const override;
    void setListText(Control list, const QString &text) override;
    QString plainText(Control box) const override;
    void setPlainText(Control box, const QString &text) override;
    void setCaption(Control button, const QString &caption) override;
    void setLampColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) override;
    void setTimerInterval(std::chrono::milliseconds interval) override;
    void setTimerEnabled(bool enabled) override;
    int msgBox(const QString &text, const QString &title, int style) override;

    // A text as a box gives it back: every line break (LF, CR LF, a lone CR, the Unicode line
    // and paragraph separators) as CR LF.
    static QString boxText(const QString &text);

    QString caption(Control button) const;
    bool timerActive() const { return timer_.isActive(); }

    // The reply timer waits at least this long, for a card slower than the window expects.
    void setMinimumInterval(std::chrono::milliseconds interval) { minimumInterval_ = interval; }
    // What the broadcast question is answered; decided before the command runs.
    void setBroadcastAnswer(bool ok) { broadcastAnswer_ = ok; }
    // Where the text of an error message goes.
    void setErrorHandler(std::function<void(const QString &)> handler) {
        errorHandler_ = std::move(handler);
    }
    // What runs at the tick of the reply timer (the reply reader).
    void setTickHandler(std::function<void()> handler) { tickHandler_ = std::move(handler); }

  signals:
    // The reply timer ticked and its handler has run.
    void ticked();

  private:
    struct List {
        QStringList items;
        int index = -1;
        QString text;
    };

    void restartTimer();

    std::map<Control, List> lists_;
    std::map<Control, QString> boxes_;
    std::map<Control, QString> captions_;
    QTimer timer_;
    std::chrono::milliseconds interval_{0};
    std::chrono::milliseconds minimumInterval_{0};
    bool timerEnabled_ = false;
    bool broadcastAnswer_ = false;
    std::function<void(const QString &)> errorHandler_;
    std::function<void()> tickHandler_;
};
