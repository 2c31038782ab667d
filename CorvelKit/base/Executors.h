#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <thread>

namespace corvel {

namespace asio = boost::asio;

// Any executor work can be posted to: the host's main executor, a strand, the shared pool.
using Executor = asio::any_io_executor;

// The process-wide pool that strands (serial queues) and background work run on. Created on first
// use with one thread per core (at least two); joined at exit.
asio::thread_pool& sharedPool();

// Waits for `thread` to end; from that thread itself (a handler stopping the object that runs it),
// hands the wait to the shared pool instead, so the thread can finish. Should the pool drop the
// job unrun (the process is ending), the thread is let go rather than ending the process: it must
// hold everything it touches. Does nothing when `thread` has nothing to join.
void joinOrHandOff(std::thread& thread);

}  // namespace corvel
