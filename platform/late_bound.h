// Late-bound objects: reached by member name or by dispatch id, resolved when the call is made.
//
// A scoring component is a NamedObject; the archive control is a DispatchObject. Destroying the
// object releases it. An object is used by one thread at a time; nothing here locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/variant.h"

namespace vardenix {

class NamedObject {
 public:
  virtual ~NamedObject() = default;
  // Property put of one value. Throws RuntimeError naming the member when the object has no such
  // member, or with the object's own message when the put fails.
  virtual void Put(const std::string& member, const Variant& value) = 0;
  // "Read": a property get or a method without arguments, whichever the object has. Throws like Put.
  virtual Variant Read(const std::string& member) = 0;
  // What the caller does with the object after the reads it announces.
  enum class AfterReads {
    kMore,     // anything: more puts and reads may follow
    kRelease,  // nothing: it destroys the object after them (or after the first read that fails)
  };
  // Says that the caller reads `members` next, in this order, unless one of the reads fails, and
  // then does `after`: an object whose calls cross to another process may then ask for them all at
  // once, and for its release with them. After kRelease, a put or a read out of the announced order
  // throws RuntimeError. The default does nothing.
  virtual void ExpectReads(const std::vector<std::string>& members, AfterReads after) {
    (void)members;
    (void)after;
  }
  // Ends the object's scoring run: releases it and waits until everything it started is gone.
  // Answers a warning for each process the object left running, which was stopped ("the scoring
  // component X left a process running (`cmd`); it was stopped"). Never throws: a failure here
  // only loses what the object would have said. After it, only destruction is allowed. The default
  // does nothing and answers nothing.
  virtual std::vector<std::string> Finish() { return {}; }
};

// The warning Finish answers for one process left running.
inline std::string LeftProcessWarning(const std::string& prog_id, const std::string& cmd) {
  return "the scoring component " + prog_id + " left a process running (`" + cmd + "`); it was stopped";
}

class DispatchObject {
 public:
  virtual ~DispatchObject() = default;
  // Property put by dispatch id. Throws RuntimeError on an unknown id or a rejected value.
  virtual void Put(int32_t dispid, const Variant& value) = 0;
  // Property get by dispatch id. Throws RuntimeError on an unknown id.
  virtual Variant Get(int32_t dispid) = 0;
  // Method call by dispatch id with positional arguments. Throws RuntimeError on an unknown id.
  virtual Variant Call(int32_t dispid, const std::vector<Variant>& args) = 0;
};

}  // namespace vardenix
