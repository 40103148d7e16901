#pragma once
// What the engine tests share: a report sink that keeps every line, to compare with the layout.
#include <string>
#include <vector>

#include "engine/DMExecute.h"

namespace enginetest {

struct TReportLines : IQXExecReportSink {
  std::vector<TQXReportLine> Lines;
  void ReportLine(const TQXReportLine& line) override { Lines.push_back(line); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (auto& l : Lines) t.push_back(l.Text());
    return t;
  }
};

}  // namespace enginetest
