// The remote access authorization list and its file.
#include "remote_auth.h"

#include "auth_file.h"
#include "core/cstring.h"
#include "core/log.h"
#include "core/paths.h"
#include "registry/host_identity.h"
#include "platform/files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

AuthRecord *auth_data = nullptr;

int initialize_auth_file() {
    CString path(generate_path(17, local_auth_file));
    if (!path) {
        log_msg0("ERROR: Init Authorization: auth_file_path_err.");
        return 1;
    }
    FILE *file = platform_fopen_regular(path.get(), "r");
    if (!file) {
        log_msg0("ERROR: Init Authorization: NO_auth_file.");
        return 1;
    }
    CLfreeAuthList(&auth_data);
    bool bad = false;
    char line[256], host[256];
    int32_t uid = 0;
    while (next_auth_entry(file, uid, host, line)) {
        auto *record = static_cast<AuthRecord *>(malloc(sizeof(AuthRecord)));
        if (!record) {
            log_msg0("ERROR: Init Authorization: Mem_alloc_err.");
            fclose(file);
            CLfreeAuthList(&auth_data);
            return 1;
        }
        uint32_t address = get_ip_num(host);
        if (address == 0xffffffffu) {
            free(record);
            log_msg1("ERROR: Init Authorization:Bad_entry[%s].", line);
            bad = true;
            continue;
        }
        *record = AuthRecord{uid, address, auth_data};
        auth_data = record;
    }
    fclose(file);
    if (!auth_data) {
        log_msg0("ERROR: Init Authorization: empty_auth_file.");
        return 1;
    }
    if (bad) {
        log_msg0("ERROR: Init REMOTE Access Authorization.");
        return 1;
    }
    log_msg0("Init REMOTE Access Authorization: OK.");
    return 0;
}

int verify_auth(int32_t uid, uint32_t host) {
    int found = 0;
    for (AuthRecord *r = auth_data; r && !found; r = r->next) found = r->uid == uid && r->host == host;
    log_msg1n("COMAND LINE:Verify Authorization Status=[%d].", found);
    return found;
}

void CLfreeAuthList(AuthRecord **head) {
    while (*head) {
        AuthRecord *next = (*head)->next;
        free(*head);
        *head = next;
    }
}
