#pragma once
// The mail store the compress command works with. The command line knows
// the store only through the engine's interface; the adapter over the store
// library hands its session factory in from a file of its own in this
// folder:
//
//   static const varnolt::cli::RegisterSessionFactory reg(makeSession);
//
// Until one is registered, compress says so and stops.

#include <utility>

#include "engine/mail_store.h"

namespace varnolt::cli {

engine::SessionFactory& compressSessionFactory();

struct RegisterSessionFactory {
  explicit RegisterSessionFactory(engine::SessionFactory factory) { compressSessionFactory() = std::move(factory); }
};

}  // namespace varnolt::cli
