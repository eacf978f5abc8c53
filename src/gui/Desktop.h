// What the window asks of the desktop: alerts, file panels, speech, the
// completion sound and opening the help. One class with the real
// implementations, so that tests hand in their own answers.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>

#include "gui/HintSpeech.h"

class QWidget;
class QSoundEffect;

namespace vorn::gui {

class Desktop {
public:
    Desktop();
    virtual ~Desktop();

    // A window-modal alert; the index of the button pressed, -1 when closed
    // without an answer. buttons[defaultButton] is the default.
    virtual int ask(QWidget* parent, const QString& title, const QString& text, const QStringList& buttons,
                    int defaultButton);
    // A folder (new folders allowed, through makeFolder); empty when cancelled.
    virtual QString chooseFolder(QWidget* parent, const QString& title);
    // A file to write, proposed name and suffix given; empty when cancelled.
    virtual QString chooseSaveFile(QWidget* parent, const QString& title, const QString& proposedName,
                                   const QString& suffix);
    // An existing file matching the name filter; empty when cancelled.
    virtual QString chooseOpenFile(QWidget* parent, const QString& title, const QString& filter);

    // Speech runs on a thread of its own, made when first needed (no speech
    // daemon starts before the user switches hints on), and never holds up
    // the caller; without an engine it stays silent and logs.
    virtual void say(const QString& text);
    virtual void stopSpeaking();
    virtual void playComplete();
    // Opens the file in the desktop's web browser (xdg-open). failed runs on
    // the UI thread, at once or when the opener has given up, when the file
    // is missing or nothing opened it; never once parent (when given) is gone.
    virtual void openHelp(QWidget* parent, const QString& path, std::function<void()> failed);

    // Makes the folder a file panel's "New Folder" asks for (its button and
    // its menu entry), in place of the panel's own unchecked one: the window
    // makes it only where nothing it reads lies beneath and tells the user
    // otherwise. True when the folder is there; unset, panels make none.
    std::function<bool(QWidget* panel, const QString& path)> makeFolder;

    // How long a call into the voice may take before the log says that the
    // speech service does not answer.
    static constexpr std::chrono::milliseconds kSpeechBound{3000};

protected:
    // Another voice and bound for say() and stopSpeaking(); before the first
    // say(). make runs on the speech thread and must not use this desktop.
    void setVoice(HintSpeech::MakeSpeaker make, std::chrono::milliseconds bound);

private:
    HintSpeech::MakeSpeaker makeVoice;
    std::chrono::milliseconds voiceBound = kSpeechBound;
    std::unique_ptr<HintSpeech> speech;
    std::unique_ptr<QSoundEffect> sound;
};

}  // namespace vorn::gui
