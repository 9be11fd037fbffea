#pragma once
// Dialogs answered by the test: each folder or file request takes the next
// scripted answer ("" for Cancel, as a user would) and every request and
// message box is recorded, with the state of the window at that moment
// when the test asks for it.

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <QString>
#include <gtest/gtest.h>

#include "platform/dialogs.h"

namespace varnolt::windows::test {

struct DialogCall {
  std::string kind;  // "folder", "file", "message", "details"
  QString title;
  QString text;      // message text, or the file filter
  QString details;
};

class ScriptedDialogs : public platform::Dialogs {
 public:
  ScriptedDialogs() { platform::SetDialogs(this); }
  ~ScriptedDialogs() override { platform::SetDialogs(nullptr); }

  std::deque<QString> folders;  // answers to BrowseForFolder
  std::deque<QString> files;    // answers to OpenFile
  std::vector<DialogCall> calls;
  // Runs inside every request, while the dialog would be open.
  std::function<void(const DialogCall&)> whileOpen;

  QString BrowseForFolder(QWidget*, const QString& title) override {
    return answer("folder", title, QString(), folders);
  }
  QString OpenFile(QWidget*, const QString& title, const QString& filter) override {
    return answer("file", title, filter, files);
  }
  void MessageBox(QWidget*, const QString& text, const QString& title) override {
    record({"message", title, text, QString()});
  }
  void MessageBoxWithDetails(QWidget*, const QString& text, const QString& title, const QString& details) override {
    record({"details", title, text, details});
  }

  std::vector<DialogCall> messages() const {
    std::vector<DialogCall> out;
    for (const auto& c : calls) {
      if (c.kind == "message" || c.kind == "details") out.push_back(c);
    }
    return out;
  }

 private:
  void record(const DialogCall& call) {
    calls.push_back(call);
    if (whileOpen) whileOpen(call);
  }
  QString answer(const char* kind, const QString& title, const QString& text, std::deque<QString>& queue) {
    record({kind, title, text, QString()});
    if (queue.empty()) {
      ADD_FAILURE() << "unscripted " << kind << " dialog: " << title.toStdString();
      return QString();
    }
    QString next = queue.front();
    queue.pop_front();
    return next;
  }
};

}  // namespace varnolt::windows::test
