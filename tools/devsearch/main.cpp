// SPDX-License-Identifier: MIT
/* devsearch: management client of the LAN discovery service (search, modify, set-mac, and
 * assign and apply for many devices at once). */
#include <stdio.h>

#include <string>

#include "ds_args.h"
#include "ds_cmd.h"

int main(int argc, char** argv)
{
    DsOptions stOpt;
    std::string strErr;
    if (DsParseArgs(argc, argv, &stOpt, &strErr) != 0) {
        fprintf(stderr, "devsearch: %s\n", strErr.c_str());
        fprintf(stderr,
                "devsearch: usage: devsearch search|modify|set-mac|assign|apply ... (devsearch "
                "--help)\n");
        return DS_EXIT_USAGE;
    }
    return DsRun(stOpt);
}
