#pragma once
// One descriptor and a one-line note passed over a Unix socket (SCM_RIGHTS):
// how the pkexec open helper hands the device it opened back to the program.

#include <string>

namespace qv {

// What the helper reports before it exits.
enum class passed_status : char {
    opened = 'O',  // the descriptor follows, opened with an exclusive claim
    in_use = 'U',  // the descriptor follows; something else holds the device
    refused = 'R', // no descriptor; the note says why
};

// Sends status, note and (for opened/in_use) fd over the socket sock.
// 0 on success, -1 with errno set otherwise.
int send_passed_fd(int sock, passed_status status, const std::string& note, int fd);

// Receives what send_passed_fd sent, waiting at most timeout_ms (-1: no limit).
// Returns the received descriptor (close-on-exec) or -1. *status and *note are
// set when a message arrived or the peer closed the socket (refused, empty
// note); a timeout leaves *status untouched.
int receive_passed_fd(int sock, int timeout_ms, passed_status* status, std::string* note);

}  // namespace qv
