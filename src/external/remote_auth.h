#pragma once
// Remote access authorization: the list of users on hosts that requesters may ask about,
// loaded on request from the file local_auth_file (core/paths) in the private folder.

#include <cstdint>

// One user on one host (IPv4, network byte order); the list is headed by auth_data.
struct AuthRecord {
    int32_t uid;
    uint32_t host;
    AuthRecord *next;
};

extern AuthRecord *auth_data;

// (Re)loads the list from the file. A file that cannot be opened leaves the list as it was;
// bad entries are logged and skipped. Returns 0 on a clean load, 1 otherwise. Called by the
// reload request and initialize_CL_operation.
int initialize_auth_file();
// 1 when the list holds this user on this host, else 0; logs the answer. Called by the access
// check request.
int verify_auth(int32_t uid, uint32_t host);
// Frees every record of the list at `head` and empties it.
void CLfreeAuthList(AuthRecord **head);
