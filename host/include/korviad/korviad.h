// Everything a plugin sees of the host.
#pragma once

#include "korviad/kd_addr.h"
#include "korviad/kd_digest.h"
#include "korviad/kd_exception.h"
#include "korviad/kd_flags.h"
#include "korviad/kd_flow.h"
#include "korviad/kd_flow_parser.h"
#include "korviad/kd_instance.h"
#include "korviad/kd_log.h"
#include "korviad/kd_packet_stats.h"
#include "korviad/kd_plugin.h"
#include "korviad/kd_term.h"
#include "korviad/kd_thread.h"
