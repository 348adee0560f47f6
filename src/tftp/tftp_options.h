// The request and its options: the mode and option list found in a stored RRQ or WRQ, the path
// of the served file, and the OACK (RFC 2347) with the blksize, tsize and interval options of
// RFC 2348 and RFC 2349 and windowsize of RFC 7440.
#pragma once

#include <cstddef>

#include "tftp/tftp_packet.h"
#include "tftp/tftp_transfer.h"

namespace tftp {

// Finds the mode text and the option list in the stored request. Returns the offset of the
// first option name in `packet` (equal to request_length when there is none).
std::size_t parse_request(TftpTransfer& t);

// Builds the path (home directory + "zorva.bin") and checks it; false, with error 2 "Access
// violation" prepared, when it would leave the home directory.
bool compose_path(TftpTransfer& t, const TftpServerConfig& config);

// Answers the options from first_option on into the acknowledgement area as an OACK and
// returns its length. Options are applied to the transfer as they are answered; once an
// answer would not fit the 512-byte area, that option and all after it are neither applied
// nor answered.
std::size_t negotiate_options(TftpTransfer& t, std::size_t first_option, const StepContext& ctx);

}  // namespace tftp
