#pragma once

#include <string>

#include "model/config_file.h"

class QWidget;

namespace orvane {

// Message boxes of the window: the user messages of the core plus the
// questions the window asks. Tests put a scripted answerer in their place.
// Threads: the main thread only.
class IGuiMessages : public IUserMessages {
 public:
  enum class TQuestionIcon { Question, Warning };
  // An OK/Cancel question; true on OK.
  virtual bool Ask(const std::string& ATitle, const std::string& AText, TQuestionIcon AIcon) = 0;
};

// Application-modal QMessageBox for every message and question.
class TMessageBoxes : public IGuiMessages {
 public:
  explicit TMessageBoxes(QWidget* AParent = nullptr) : FParent(AParent) {}
  void SetParent(QWidget* AParent) { FParent = AParent; }
  void Show(const std::string& ATitle, const std::string& AText, TMessageKind AKind) override;
  bool Ask(const std::string& ATitle, const std::string& AText, TQuestionIcon AIcon) override;

 private:
  QWidget* FParent;
};

}  // namespace orvane
