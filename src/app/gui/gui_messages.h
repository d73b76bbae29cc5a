#pragma once

#include <QMessageBox>
#include <functional>
#include <memory>
#include <string>

#include "model/config_file.h"

class QWidget;

namespace orvane {

// The title of a plain message, which names no title of its own.
inline constexpr const char* PROGRAM_TITLE = "Порты MX40L";

// Message boxes of the window: the user messages of the core plus the
// questions the window asks. Tests put a scripted answerer in their place.
// Threads: the main thread only.
class IGuiMessages : public IUserMessages {
 public:
  enum class TQuestionIcon { Question, Warning };
  // An OK/Cancel question; true on OK.
  virtual bool Ask(const std::string& ATitle, const std::string& AText, TQuestionIcon AIcon) = 0;
};

// An application-modal box with the buttons captioned as the editor's ("ОК",
// "Отмена") and wide enough for its whole title.
std::unique_ptr<QMessageBox> MakeMessageBox(QMessageBox::Icon AIcon, const std::string& ATitle,
                                            const std::string& AText, QMessageBox::StandardButtons AButtons,
                                            QWidget* AParent);

// Application-modal QMessageBox for every message and question. Once the
// program is stopping (a stop signal) no box is shown: a question counts as
// cancelled.
class TMessageBoxes : public IGuiMessages {
 public:
  explicit TMessageBoxes(QWidget* AParent = nullptr) : FParent(AParent) {}
  void SetParent(QWidget* AParent) { FParent = AParent; }
  void SetStopping(std::function<bool()> AStopping) { FStopping = std::move(AStopping); }
  // Writes the text to standard error as well, then shows the box.
  void Show(const std::string& ATitle, const std::string& AText, TMessageKind AKind) override;
  // The box alone, for a text already written to standard error.
  void ShowBox(const std::string& ATitle, const std::string& AText, TMessageKind AKind);
  bool Ask(const std::string& ATitle, const std::string& AText, TQuestionIcon AIcon) override;

 private:
  bool Stopping() const { return FStopping && FStopping(); }

  QWidget* FParent;
  std::function<bool()> FStopping;
};

}  // namespace orvane
