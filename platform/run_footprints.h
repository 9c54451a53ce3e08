// Run footprints: what the scoring runs in a working folder leave, so that each one is gone before
// the next run's extraction and no answer is graded on what another run left.
//
// A run's footprint is every entry under the working folder whose identity (device, inode, and birth
// time where the file system keeps one) was not there when the run began, whatever happened to it
// since: written, appended to, renamed, a file turned into a folder or a link. It is recorded when
// the run ends, by whoever made it (the extraction, the scoring component, a process it started).
// Removing it removes files and links as links (nothing is followed) and folders, and only while
// each entry still has its recorded identity: a file a host put in the folder since stays. Nothing is
// ever read, written or removed in another file system: a mount point under the working folder
// fails the run with a message naming it. An entry that was there before a run and that the run
// changed cannot be restored; End names it.
//
// The record is process-wide and keyed by the folder's identity, shared with the archive control,
// whose own record of an extraction is the footprint of a run that is an extraction alone.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vardenix {

class RunFootprints {
 public:
  // What was in a folder when a run began.
  class Start {
   public:
    virtual ~Start() = default;
  };

  virtual ~RunFootprints() = default;

  // Before a run's extraction: removes the recorded footprint of the folder, except the regular files
  // (and the folders that hold them) that the extraction writes over in place or removes itself,
  // and except nothing at `staged` (the name the run stages its archive under, relative to the
  // folder), which is cleared for the archive. Then notes what is there. Throws RuntimeError naming
  // a mount point under the folder. A folder that cannot be opened gives a Start that records nothing.
  virtual std::unique_ptr<Start> Begin(const std::string& folder, const std::string& staged) = 0;

  // When the run has ended: records as the folder's footprint every entry that was not there at
  // `start`, and answers the paths (relative to the folder) of the entries that were there and that
  // the run changed or removed. Throws RuntimeError naming a mount point under the folder, after the
  // rest of the footprint is recorded.
  virtual std::vector<std::string> End(const std::string& folder, const Start& start) = 0;

  // Removes the folder's recorded footprint now. Answers the first entry that stayed though it
  // should have gone, with the reason (empty when none did).
  virtual std::string Clear(const std::string& folder) = 0;

  // Throws RuntimeError naming a mount point under the folder (when it is one and is there).
  virtual void RequireNoMountPoint(const std::string& folder) = 0;
};

// Records and removes nothing: for systems and test fakes without a file system to watch.
RunFootprints& NoRunFootprints();

}  // namespace vardenix
