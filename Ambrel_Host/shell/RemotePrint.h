#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "CorvelKit/base/Executors.h"

namespace ambrel {

// The print inbox: a folder that printing drops PDF documents into (the "Ambrel" print queue's
// backend, or the "Print with Ambrel" script), watched with inotify. A document counts once its
// writer closed it or it was moved in whole; a file still being written is never offered. Each
// one is handed to `onDocument` half a second after it arrived, once; files stay in the inbox
// until whoever received them deletes them.
//
// On one executor (the controller's): start(), stop() and `onDocument` run there.
class RemotePrint : public std::enable_shared_from_this<RemotePrint> {
 public:
  struct Options {
    corvel::Executor executor;
    std::filesystem::path inbox = defaultInbox();
    // Where the "Print with Ambrel" script goes; nothing is written when empty.
    std::filesystem::path serviceScript = defaultServiceScript();
    std::chrono::milliseconds scanDelay{500};
    std::function<void(const std::filesystem::path&)> onDocument;
  };

  static std::shared_ptr<RemotePrint> make(Options options);
  explicit RemotePrint(Options options);
  ~RemotePrint();
  RemotePrint(const RemotePrint&) = delete;
  RemotePrint& operator=(const RemotePrint&) = delete;

  // Creates the inbox (mode 0700), installs the script and starts watching. A script that can't
  // be written is logged and the watch runs anyway; without inotify there is no watch.
  void start();
  void stop();
  bool isWatching() const;

  // "Print" in the data folder, and the "Print with Ambrel" script beside it.
  static std::filesystem::path defaultInbox();
  static std::filesystem::path defaultServiceScript();
  // The script's text: it takes the document's title as its first argument and the PDF's path
  // as its third, and copies the PDF into `inbox` as "<title>.pdf" ("/" and ":" in the title
  // made "-", "Document" for an empty title).
  static std::string serviceScriptText(const std::filesystem::path& inbox);

 private:
  struct Watch;
  void readEvents();
  void arrived(const std::string& name);
  void scan();

  Options options_;
  std::unique_ptr<Watch> watch_;
  std::set<std::string> pending_;  // closed or moved in, not yet handed over
  bool scanScheduled_ = false;
};

}  // namespace ambrel
