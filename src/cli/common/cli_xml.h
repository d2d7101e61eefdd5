// The XML documents of the CLI, built and read with Mini-XML.
//
// Request: <req><cmd>COMMAND</cmd><agrs>ACTION COMMAND key=value ...</agrs></req>
// Reply:   <response><error_code>CODE</error_code><print_data>TEXT</print_data></response>
// Element texts are opaque: blanks and newlines travel whole; markup
// characters are escaped on saving and restored on loading.
//
// Threads: any thread; nothing is kept between calls. Every failure gives
// an empty string (and an ERROR line in the CLI log).
#pragma once

#include <string>

namespace SPINDLEKEEP_CLI {

// The request document. "" when cmd or args is empty or too long (cmd over
// 32 MiB, args over 1 MiB).
std::string CliCMDtoXml(const std::string &cmd, const std::string &args);

// The reply document of a message "TEXT errorCode=CODE": the text before
// the first " errorCode=" goes to "print_data", the rest to "error_code"
// (empty when the separator is missing). "" for an empty message.
std::string SvCMDtoXml(const std::string &msg);

// The text of the first element `name` of the document, or "" (also when the
// document does not parse).
std::string AnalysisXml(const std::string &xml, const char *name);

}  // namespace SPINDLEKEEP_CLI
