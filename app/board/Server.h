#pragma once

// The board's HTTP server: one thread runs an event loop over every
// connection (libmicrohttpd in its external epoll mode), a watcher thread
// reads the picture of the line, a worker thread runs the reads that
// requests ask for (a printer's history, the CSV's pages).

#include "app/board/Board.h"

#include <memory>

namespace vendrill::board {

// Serves until stopFd becomes readable; `first` is the record opened and watched.
int Serve(const Options& options, std::unique_ptr<record::CRecord> first, int stopFd,
          const std::function<void(const std::string&)>& announce, std::FILE* err);

}  // namespace vendrill::board
