/* SPDX-License-Identifier: MIT */
/* ds_site.h: the commands for many devices at once: assign writes a plan of sequential
 * addresses for the devices a search finds, apply carries a plan out and confirms it.
 *
 *   devsearch assign --from 192.168.1.100 > plan.csv
 *   devsearch apply plan.csv --user admin --password -
 */
#ifndef DEVSEARCH_DS_SITE_H
#define DEVSEARCH_DS_SITE_H

#include <string>

#include "ds_args.h"
#include "ds_plan.h"

/* DsPlanRowOptions: the options of a modify that carries out one plan row (stBase gives
 * the user, port, timeouts and retries). */
DsOptions DsPlanRowOptions(const DsOptions& stBase, const DsPlanRow_S& stRow);

/* DsRunAssign, DsRunApply: the commands; exit status as DsRun's. */
int DsRunAssign(const DsOptions& stOpt);
int DsRunApply(const DsOptions& stOpt);

#endif /* DEVSEARCH_DS_SITE_H */
