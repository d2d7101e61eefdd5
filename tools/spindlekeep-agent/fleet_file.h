// The fleet file: a JSON document describing the simulated disks, their load,
// timed events and injected faults (format in README.md). The built-in default
// fleet is the same format, so one parser serves both.
#pragma once

#include <string>
#include <vector>

#include "fault_inject.h"
#include "fleet_model.h"

// Parses a fleet document into fleet (reset and ready to run) and faults.
// Returns 0, or -1 with a one-line reason in error; nothing is half-loaded on
// failure.
[[nodiscard]] int FleetParse(const std::string &text, Fleet *fleet, std::vector<FaultRule> *faults,
                             std::string *error);
[[nodiscard]] int FleetLoadFile(const std::string &path, Fleet *fleet,
                                std::vector<FaultRule> *faults, std::string *error);

// A plausible attribute table of a SATA disk, all far from their thresholds.
void FleetDefaultSmart(DiskHealth *health);

// The built-in default fleet document.
const char *FleetDefaultText();
