#pragma once

// The parts of SOCI the database layer uses, with its Firebird backend.
//
// Debian's SOCI is configured with its Boost integration, but the service uses
// none of it and Boost is not installed; the only header that depends on the
// setting pulls in Boost.Fusion for binding Fusion sequences. Switching the
// setting off before any SOCI header is seen keeps the library's ABI (nothing
// compiled into it depends on the setting) and lets the headers build without
// Boost. Include SOCI only through this header.
#include <soci/soci-config.h>
#undef SOCI_HAVE_BOOST

#include <soci/error.h>
#include <soci/firebird/soci-firebird.h>
#include <soci/into.h>
#include <soci/row-exchange.h>
#include <soci/row.h>
#include <soci/rowid-exchange.h>
#include <soci/rowset.h>
#include <soci/session.h>
#include <soci/statement.h>
#include <soci/type-conversion.h>
#include <soci/use.h>
#include <soci/values-exchange.h>
