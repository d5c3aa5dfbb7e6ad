#include "run.h"

#include <new>
#include <string>

#include "fresh_file.h"
#include "open_header.h"
#include "pass.h"
#include "platform.h"
#include "replace.h"
#include "text_copy.h"

namespace tallier {

namespace {

constexpr char kOutOfMemory[] = "Error Tallier Out of memory\n";

constexpr char kUsage[] =
    "Tallier [file = Version.h] ; [varname = BuildCount] ; [inc.= +1]\n"
    "Tallier reads filename & in-decrements the value after varname.\n";

std::string copyWouldTakeHeaderName(const RunSettings& settings) {
  return "Error Tallier Can't use: " + settings.headerPath +
         " as header, its copy would take its name\n";
}

std::string backupFailed(const RunSettings& settings, const std::string& headerPath) {
  return "Error Tallier Can't rename: " + settings.headerPath + " to " +
         companionName(headerPath, "bak") + "\n";
}

std::string changedDuringRun(const RunSettings& settings) {
  return "Error Tallier Changed during the run: " + settings.headerPath + "\n";
}

// A second handle on the copy, open until the run returns: it keeps the copy's lock past the
// copy's own close, whose failure is a failed write, and past the rename, so that no other
// run takes the copy's name, nor the scratch name that this run's lock on it guards, before
// this run is done with them. The copy was synced before the rename, so this close loses
// nothing.
struct HeldCopy {
  File file;
  ~HeldCopy() {
    if (file.handle != -1)
      closeFile(file);
  }
};

ExitStatus advance(const RunSettings& settings, File& header, const std::string& headerPath,
                   std::string& report) {
  const std::string copyPath = companionName(headerPath, "new");
  // The names may differ and still be the header's where the file system ignores case.
  // Asked under the lock, while no other run can give the header's name to its copy. A link
  // there is a leftover like any other.
  if (copyPath == headerPath || isOwnName(copyPath, header)) {
    report += copyWouldTakeHeaderName(settings);
    return kFileError;
  }
  File copy;
  if (!takeFreshFile(copyPath, header, copy)) {
    report += "Error Tallier Can't open: " + copyPath + " for writing\n";
    return kFileError;
  }
  HeldCopy held;
  if (!holdFile(copy, held.file)) {
    removeFile(copyPath);
    closeFile(copy);
    report += "Error Tallier Can't open: " + copyPath + " for writing\n";
    return kFileError;
  }
  // Runs that may only read the header hold its lock together, and take turns at the copy's
  // name instead: one that gave its copy the header's name while this run waited for that
  // name may still be on its way to the backup, with the previous header under the scratch
  // name that keepPreviousHeader clears. This run is too late, and leaves that name alone.
  if (!namesOpenFile(headerPath, header)) {
    closeFile(copy);
    report += changedDuringRun(settings);
    return kFileError;
  }
  // From here on every change to the header fails the run, its permissions among them: those
  // the copy takes are the header's as they stand at the end.
  PreviousHeader previous;
  if (!keepPreviousHeader(header, headerPath, previous)) {
    closeFile(copy);
    report += backupFailed(settings, headerPath);
    return kFileError;
  }
  const Ownership ownership = copyOwnership(header, copy, copyPath);
  if (ownership != Ownership::kKept) {
    // Refused before the pass, with no copy left: the header stays as it was.
    closeFile(copy);
    dropPreviousHeader(previous);
    removeFile(copyPath);
    if (ownership == Ownership::kOwnerLeftOut)
      report += "Error Tallier Can't keep: " + settings.headerPath +
                " for its owner, who would lose access to it\n";
    else if (ownership == Ownership::kGroupLeftOut)
      report += "Error Tallier Can't keep: " + settings.headerPath +
                " for its group, whose access would change\n";
    else
      report += "Error Tallier Can't open: " + copyPath + " for writing\n";
    return kFileError;
  }
  int32_t value = 0;
  PassOutcome outcome = copyAdvancingCounter(header, copy, settings.macroName, settings.increment,
                                             kCopyBufferSize, value);
  // The copy must be on disk before it takes the header's name; a failure to get it there
  // is a failed write like any other.
  if (outcome == PassOutcome::kRewritten && !finishCopy(copy, header))
    outcome = PassOutcome::kWriteError;
  if (!closeFile(copy) && (outcome == PassOutcome::kRewritten || outcome == PassOutcome::kNotFound))
    outcome = PassOutcome::kWriteError;
  if (outcome != PassOutcome::kRewritten)
    dropPreviousHeader(previous);

  switch (outcome) {
    case PassOutcome::kReadError:
      report += "Error Tallier Error reading: " + settings.headerPath + "\n";
      return kFileError;
    case PassOutcome::kWriteError:
      report += "Error Tallier Error writing: " + copyPath + "\n";
      return kFileError;
    case PassOutcome::kNotFound:
      report += "Error Tallier name:" + settings.macroName + " or number not found\n";
      return kNotAdvanced;
    case PassOutcome::kOutOfRange:
      report += "Error Tallier name:" + settings.macroName + " number out of range\n";
      return kNotAdvanced;
    case PassOutcome::kRewritten:
      break;
  }
  switch (replaceHeader(header, held.file, headerPath, copyPath, previous)) {
    case ReplaceResult::kRenameFailed:
      report += "Error Tallier Can't rename: " + copyPath + " to " + settings.headerPath + "\n";
      return kFileError;
    case ReplaceResult::kBackupFailed:
      report += backupFailed(settings, headerPath);
      return kFileError;
    case ReplaceResult::kChanged:
      report += changedDuringRun(settings);
      return kFileError;
    case ReplaceResult::kSyncFailed:
      report += "Error Tallier Error writing: " + settings.headerPath + "\n";
      return kFileError;
    case ReplaceResult::kReplaced:
      break;
  }
  // In pieces, into the room reserved for it: once the header is replaced, nothing may fail.
  report += "Upcount: ";
  report += settings.macroName;
  report += " = ";
  report += std::to_string(value);
  report += '\n';
  return kAdvanced;
}

// Runs as `settings` say and adds the run's messages to `report`.
ExitStatus runSettings(const RunSettings& settings, std::string& report) {
  if (settings.headerPath.find('?') != std::string::npos) {
    report += kUsage;
    return kFileError;
  }
  if (settings.incrementOutOfRange) {
    report += "Error Tallier Increment out of range: " + settings.incrementText + "\n";
    return kFileError;
  }
  // Closed last, once the header is.
  RunFiles files;
  const std::string headerPath = resolveLinks(settings.headerPath);
  if (companionName(headerPath, "new") == headerPath) {
    report += copyWouldTakeHeaderName(settings);
    return kFileError;
  }
  File header;
  switch (openLockedHeader(headerPath, header)) {
    case Opened::kMissing:
      report += kUsage;
      report += "\nError Tallier Can't open: " + settings.headerPath + " for reading\n";
      return kFileError;
    case Opened::kNotRegular:
      report += "Error Tallier Can't use: " + settings.headerPath +
                " as header, it is not a regular file\n";
      return kFileError;
    case Opened::kLockHeld:
      report +=
          "Error Tallier Can't lock: " + settings.headerPath + ", another program holds its lock\n";
      return kFileError;
    case Opened::kLocked:
      break;
  }
  // Found before anything changes, rather than at the last rename, which would leave the
  // header's scratch name behind where the run may not remove it.
  if (!mayReplace(headerPath, header)) {
    closeFile(header);
    report += "Error Tallier Can't rename: " + companionName(headerPath, "new") + " to " +
              settings.headerPath + "\n";
    return kFileError;
  }
  // The companions and every rename go by the file's own name, however it was typed.
  const ExitStatus status = advance(settings, header, headerName(headerPath, header), report);
  // Only read from, so closing cannot lose data; it also lets the next run in.
  closeFile(header);
  return status;
}

}  // namespace

ExitStatus runTallier(const RunSettings& settings) {
  prepareProcess();
  try {
    std::string report;
    report.reserve(1024 + settings.macroName.size());
    const ExitStatus status = runSettings(settings, report);
    // A build that cannot see the new value has not been told the run succeeded.
    if (!writeOutput(report) && status == kAdvanced)
      return kFileError;
    return status;
  } catch (const std::bad_alloc&) {
    // The buffers are taken before the header changes, and the room for the report at the
    // start, so that what fails for want of memory leaves the header and the backup as they
    // were (a copy may be left, as after other failures).
    writeOutput(kOutOfMemory);
    return kFileError;
  }
}

}  // namespace tallier
