#pragma once
// Every step of a run that fails is noted here and skipped; the run goes on.
// At the end the host tells the user how many steps failed and can list
// them, each with where it happened and why.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace varnolt::engine {

struct Failure {
  std::string pst;         // path of the listed PST; empty before the first
  std::string folder;      // folder path inside the PST, "/"-separated; may be empty
  std::string message;     // which message of the folder, e.g. "3"; may be empty
  std::string attachment;  // the attachment's file name; may be empty
  std::string operation;   // the step that failed, e.g. "SaveAsFile"
  std::string reason;      // why, in words

  // One line for a list or a log: where, what and why.
  std::string describe() const;
};

// "PST p, folder f, message m, attachment a", leaving out the empty parts.
std::string PlaceText(const std::string& pst, const std::string& folder, const std::string& message,
                      const std::string& attachment);

class Failures {
 public:
  void record(Failure failure) { list_.push_back(std::move(failure)); }
  std::size_t count() const { return list_.size(); }
  bool empty() const { return list_.empty(); }
  const std::vector<Failure>& list() const { return list_; }

 private:
  std::vector<Failure> list_;
};

}  // namespace varnolt::engine
