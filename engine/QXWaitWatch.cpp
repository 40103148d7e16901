#include "engine/QXWaitWatch.h"

#include <algorithm>

TQXWaitWatch::TQXWaitWatch(std::chrono::milliseconds threshold, TNotice notice)
    : m_Threshold(threshold), m_Notice(std::move(notice)), m_Thread([this] { Watch(); }) {}

TQXWaitWatch::~TQXWaitWatch() {
  {
    std::lock_guard guard(m_Lock);
    m_Stop = true;
  }
  m_Wake.notify_all();
  m_Thread.join();
}

void TQXWaitWatch::Describe(const void* subject, std::string text) {
  std::lock_guard guard(m_Lock);
  if (text.empty())
    m_Texts.erase(subject);
  else
    m_Texts[subject] = std::move(text);
}

void TQXWaitWatch::Enter(const void* subject) {
  auto now = std::chrono::steady_clock::now();
  std::lock_guard guard(m_Lock);
  m_Subject = subject;
  m_Since = now;
  ++m_Call;
}

void TQXWaitWatch::Leave() {
  std::lock_guard guard(m_Lock);
  m_Subject = nullptr;
}

void TQXWaitWatch::Watch() {
  // Often enough that the notice comes soon after the threshold, rarely enough to cost nothing.
  const auto tick = std::clamp<std::chrono::milliseconds>(m_Threshold / 4, std::chrono::milliseconds(10),
                                                          std::chrono::milliseconds(250));
  std::unique_lock lock(m_Lock);
  while (!m_Stop) {
    m_Wake.wait_for(lock, tick);
    if (m_Stop) break;
    std::string text;
    bool announce = false, over = false;
    const bool calling = m_Subject != nullptr;
    if (m_Announced != 0 && (!calling || m_Call != m_Announced)) {
      over = true;
      m_Announced = 0;
    }
    if (calling && m_Announced == 0 && std::chrono::steady_clock::now() - m_Since >= m_Threshold) {
      auto found = m_Texts.find(m_Subject);
      if (found != m_Texts.end()) {
        text = found->second;
        announce = true;
        m_Announced = m_Call;
      }
    }
    if (!over && !announce) continue;
    // The notice may take its time (a terminal, a window's queue): the worker must not wait for it.
    lock.unlock();
    if (over) m_Notice(std::string());
    if (announce) m_Notice(text);
    lock.lock();
  }
  if (m_Announced != 0) {
    lock.unlock();
    m_Notice(std::string());
  }
}
