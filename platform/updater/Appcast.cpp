#include "platform/updater/Appcast.hpp"

#include "platform/updater/UpdaterError.hpp"
#include "platform/updater/Version.hpp"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

namespace tavik::updater {

namespace {

using Document = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

std::string_view nameOf(const xmlNode* node)
{
    return reinterpret_cast<const char*>(node->name);
}

const xmlNode* child(const xmlNode* parent, std::string_view localName)
{
    for (auto* node = parent->children; node; node = node->next) {
        if (node->type == XML_ELEMENT_NODE && nameOf(node) == localName)
            return node;
    }
    return nullptr;
}

// The element's text with surrounding white space removed; entity
// references are not expanded (documents with a DTD are refused).
std::string textOf(const xmlNode* element)
{
    std::string text;
    for (auto* node = element->children; node; node = node->next) {
        if ((node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) && node->content)
            text += reinterpret_cast<const char*>(node->content);
    }
    auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string childText(const xmlNode* parent, std::string_view localName)
{
    auto* element = child(parent, localName);
    return element ? textOf(element) : std::string();
}

// The value of the attribute with this local name, whatever its namespace.
std::string attribute(const xmlNode* element, std::string_view localName)
{
    if (!element)
        return {};
    for (auto* property = element->properties; property; property = property->next) {
        if (reinterpret_cast<const char*>(property->name) != localName)
            continue;
        std::unique_ptr<xmlChar, decltype(xmlFree)> value(xmlNodeListGetString(element->doc, property->children, 1), xmlFree);
        return value ? std::string(reinterpret_cast<const char*>(value.get())) : std::string();
    }
    return {};
}

std::optional<std::string> httpsLink(const std::string& candidate)
{
    if (candidate.starts_with("https://") && candidate.size() > 8)
        return candidate;
    return std::nullopt;
}

ErrorPtr malformed(std::string detail)
{
    return UpdaterError::make(UpdaterError::Code::feedMalformed, std::move(detail));
}

} // namespace

Result<Appcast> Appcast::parse(std::string_view xml)
{
    if (xml.size() > static_cast<size_t>(INT32_MAX))
        return malformed("too large");
    Document document(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "feed.xml", nullptr,
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
        xmlFreeDoc);
    if (!document)
        return malformed("not an XML document");
    if (document->intSubset || document->extSubset)
        return malformed("a feed may not declare a document type");
    auto* root = xmlDocGetRootElement(document.get());
    if (!root || nameOf(root) != "rss")
        return malformed("not an RSS feed");
    auto* channel = child(root, "channel");
    if (!channel)
        return malformed("the feed has no channel");

    Appcast appcast;
    for (auto* node = channel->children; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE || nameOf(node) != "item")
            continue;
        auto* enclosure = child(node, "enclosure");
        AppcastItem item;
        item.title = childText(node, "title");
        item.version = childText(node, "version");
        if (item.version.empty())
            item.version = attribute(enclosure, "version");
        if (item.version.empty())
            return malformed("the release \"" + item.title + "\" has no version");
        item.displayVersion = childText(node, "shortVersionString");
        if (item.displayVersion.empty())
            item.displayVersion = attribute(enclosure, "shortVersionString");
        if (item.displayVersion.empty())
            item.displayVersion = item.version;
        item.link = httpsLink(childText(node, "link"));
        if (!item.link)
            item.link = httpsLink(attribute(enclosure, "url"));
        appcast.items.push_back(std::move(item));
    }
    return appcast;
}

std::optional<AppcastItem> Appcast::newestItemNewerThan(std::string_view hostVersion) const
{
    const AppcastItem* newest = nullptr;
    for (const auto& item : items) {
        if (compareVersions(item.version, hostVersion) <= 0)
            continue;
        if (!newest || compareVersions(item.version, newest->version) > 0)
            newest = &item;
    }
    return newest ? std::optional<AppcastItem>(*newest) : std::nullopt;
}

} // namespace tavik::updater
