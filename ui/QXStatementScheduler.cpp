#include "ui/QXStatementScheduler.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace {

class TQXStatementTimer : public IKVStatementTimer {
 public:
  TQXStatementTimer() {
    m_Timer.setSingleShot(true);
    QObject::connect(&m_Timer, &QTimer::timeout, [this] {
      // The callback may start the timer again: it runs from a copy.
      std::function<void()> callback = m_Callback;
      if (callback) callback();
    });
  }
  void Start(int32_t delayMs, std::function<void()> callback) override {
    m_Callback = std::move(callback);
    m_Timer.start(delayMs);
  }
  void Stop() override { m_Timer.stop(); }
  bool Running() const override { return m_Timer.isActive(); }

 private:
  QTimer m_Timer;
  std::function<void()> m_Callback;
};

class TQXStatementScheduler : public IKVStatementScheduler {
 public:
  std::unique_ptr<IKVStatementTimer> CreateTimer() override {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) return nullptr;
    return std::make_unique<TQXStatementTimer>();
  }
};

}  // namespace

std::shared_ptr<IKVStatementScheduler> QXMakeStatementScheduler() {
  return std::make_shared<TQXStatementScheduler>();
}

void QXInstallStatementScheduler() { KVSetStatementScheduler(QXMakeStatementScheduler()); }
