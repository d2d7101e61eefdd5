#include "cli/common/cli_xml.h"

#include <mxml.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli/common/cli_log.h"

namespace SPINDLEKEEP_CLI {

namespace {

constexpr size_t kCmdMax = 0x2000000;
constexpr size_t kArgsMax = 0x100000;

struct TreeDeleter {
    void operator()(mxml_node_t *n) const { mxmlDelete(n); }
};
using Tree = std::unique_ptr<mxml_node_t, TreeDeleter>;

// Adds <name>text</name> under the top element; false when it cannot be
// found again afterwards.
bool AddElement(mxml_node_t *top, const char *name, const std::string &text)
{
    mxml_node_t *el = mxmlNewElement(top, name);
    if (el == nullptr || mxmlFindElement(top, top, name, nullptr, nullptr, MXML_DESCEND) == nullptr) {
        return false;
    }
    // An empty opaque node saves as nothing and reads back as no text.
    return text.empty() || mxmlNewOpaque(el, text.c_str()) != nullptr;
}

// Mini-XML reports parse errors on stderr unless told otherwise.
void XmlError(const char *msg) { CLI_LOG(CLI_LOG_ERROR, "mxml: %s", msg); }

// Loads below a container node of our own: Mini-XML leaks the nodes it has
// built when a document breaks off in some places, but they hang below the
// container, which goes with the tree. Null when the text does not parse.
Tree Load(const char *xml)
{
    mxmlSetErrorCallback(XmlError);
    Tree doc(mxmlNewElement(MXML_NO_PARENT, "spk-doc"));
    if (doc == nullptr || mxmlLoadString(doc.get(), xml, MXML_OPAQUE_CALLBACK) == nullptr) {
        return nullptr;
    }
    return doc;
}

// Saves the tree. The length estimate is a first guess only: escaping of
// markup characters can make the text longer, so a cut result is saved
// again into a buffer of the size Mini-XML asked for.
std::string ToString(mxml_node_t *tree, int len)
{
    if (len <= 0) {
        CLI_LOG(CLI_LOG_ERROR, "xmlLen:%d is error", len);
        return "";
    }
    mxmlSetWrapMargin(0);
    std::string out(static_cast<size_t>(len), '\0');
    int need = mxmlSaveString(tree, out.data(), len, MXML_NO_CALLBACK);
    if (need < 0) {
        CLI_LOG(CLI_LOG_ERROR, "malloc xml buf failed.");
        return "";
    }
    if (need >= len) {
        out.assign(static_cast<size_t>(need) + 1, '\0');
        if (mxmlSaveString(tree, out.data(), need + 1, MXML_NO_CALLBACK) != need) {
            CLI_LOG(CLI_LOG_ERROR, "malloc xml buf failed.");
            return "";
        }
    }
    out.resize(static_cast<size_t>(need));
    return out;
}

// The element `name`: the loaded node itself or the first one below it
// (mxmlFindElement starts after the node it is given).
mxml_node_t *FindElement(mxml_node_t *tree, const char *name)
{
    if (tree == nullptr) {
        return nullptr;
    }
    const char *own = mxmlGetElement(tree);
    if (own != nullptr && strcmp(own, name) == 0) {
        return tree;
    }
    return mxmlFindElement(tree, tree, name, nullptr, nullptr, MXML_DESCEND);
}

Tree LoadTemplate(const char *xml) { return Load(xml); }

}  // namespace

std::string CliCMDtoXml(const std::string &cmd, const std::string &args)
{
    if (cmd.empty() || args.empty() || cmd.size() > kCmdMax || args.size() > kArgsMax) {
        CLI_LOG(CLI_LOG_ERROR, "input error, cmd:%zu param:%zu.", cmd.size(), args.size());
        return "";
    }
    Tree tree = LoadTemplate("<req></req>");
    mxml_node_t *top = FindElement(tree.get(), "req");
    if (top == nullptr) {
        return "";
    }
    if (!AddElement(top, "cmd", cmd)) {
        CLI_LOG(CLI_LOG_ERROR, "cmd or param is empty");
        return "";
    }
    if (!AddElement(top, "agrs", args)) {
        CLI_LOG(CLI_LOG_ERROR, "add element args failed");
        return "";
    }
    size_t len = cmd.size() + args.size() + strlen("<req></req>") + strlen("<cmd></cmd>") +
                 strlen("<agrs></agrs>") + 1;
    return ToString(top, static_cast<int>(len));
}

std::string SvCMDtoXml(const std::string &msg)
{
    if (msg.empty()) {
        return "";
    }
    static const std::string kSep = " errorCode=";
    size_t pos = msg.find(kSep);
    std::string print = pos == std::string::npos ? msg : msg.substr(0, pos);
    std::string code = pos == std::string::npos ? "" : msg.substr(pos + kSep.size());
    Tree tree = LoadTemplate("<response></response>");
    mxml_node_t *top = FindElement(tree.get(), "response");
    if (top == nullptr) {
        return "";
    }
    if (!AddElement(top, "error_code", code)) {
        CLI_LOG(CLI_LOG_ERROR, "add element error_code failed.");
        return "";
    }
    if (!AddElement(top, "print_data", print)) {
        CLI_LOG(CLI_LOG_ERROR, "add element print_data failed.");
        return "";
    }
    size_t len = print.size() + strlen("<response></response>") + strlen("<print_data></print_data>") +
                 strlen("<error_code></error_code>") + code.size() + 20;
    return ToString(top, static_cast<int>(len));
}

std::string AnalysisXml(const std::string &xml, const char *name)
{
    Tree tree = Load(xml.c_str());
    mxml_node_t *el = FindElement(tree.get(), name);
    if (el == nullptr) {
        CLI_LOG(CLI_LOG_ERROR, "Not found element %s", name);
        return "";
    }
    const char *text = mxmlGetOpaque(el);
    return text != nullptr ? text : "";
}

}  // namespace SPINDLEKEEP_CLI
