#pragma once
// Helpers for the dialogs' tests: acting on a modal dialog from inside the
// event loop of its exec, with a way out should the action leave it open.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

#include <functional>
#include <memory>

namespace qel::test {

inline constexpr int kModalWaitMs = 5000;

// Runs `act` on the next modal dialog to appear (polled from the event
// loop, so from inside its exec). A dialog still open some seconds after
// `act` is rejected as a failure instead of hanging the suite.
inline void OnNextModal(std::function<void(QWidget&)> act) {
  auto* poll = new QTimer(qApp);
  poll->setInterval(10);
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  QObject::connect(poll, &QTimer::timeout, poll, [poll, act = std::move(act), clock] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr && clock->elapsed() < kModalWaitMs) return;
    poll->stop();
    poll->deleteLater();
    if (modal == nullptr) {
      ADD_FAILURE() << "no modal dialog appeared";
      return;
    }
    act(*modal);
    // A child of the dialog, so it goes with it once the dialog is closed
    // and freed.
    auto* guard = new QTimer(modal);
    guard->setSingleShot(true);
    QObject::connect(guard, &QTimer::timeout, modal, [modal] {
      auto* dialog = qobject_cast<QDialog*>(modal);
      if (dialog == nullptr || !dialog->isVisible()) return;
      ADD_FAILURE() << "the dialog stayed open";
      dialog->reject();
    });
    guard->start(kModalWaitMs);
  });
  poll->start();
}

}  // namespace qel::test
