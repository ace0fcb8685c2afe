// CXmlDocument::SetDocument against pugixml and tinyxml2, side by side.
//
// Benchmarks, each reporting bytes/second of the document text:
//   parse/<doc>/<parser>   parse the text into one document reused between iterations (its
//                          buffers are warm: allocated and touched by earlier iterations)
//   fresh/<doc>/<parser>   construct a document, parse the text into it and destroy it, per
//                          iteration: how the launcher parses its settings and replies
//   walk/<doc>/<parser>    parse (reused document), then the walk the launcher's API allows:
//                          read the name, attributes "id" and "name" and the text of every
//                          child at each level, then descend into the last child, until a
//                          level is empty
// Parsers: launcher-1252 (single-byte code page), launcher-949 (double-byte code page),
// pugixml (load_buffer, default options), tinyxml2 (XMLDocument::Parse).
// Documents: settings (set.xml-sized), config (~100 KB), large (~10 MB), freedesktop
// (/usr/share/mime/packages/freedesktop.org.xml when present, UTF-8) and freedesktop-949
// (the same converted to code page 949, characters 949 lacks as '?').
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "launcher/xml/xml_document.h"
#include "platform/code_page.h"
#include "xml_bench_documents.h"

#ifdef LAUNCHER_BENCH_PUGIXML
#include <pugixml.hpp>
#endif
#ifdef LAUNCHER_BENCH_TINYXML2
#include <tinyxml2.h>
#endif

namespace {

enum class Mode { kWarm, kFresh, kWalk };

struct Document {
    std::string name;
    std::string text;
};

// ---- launcher ----

std::size_t ReadLauncher(const CXmlDocument& doc) {
    return doc.GetElementName().size() + doc.GetAttribute("id").size() +
           doc.GetAttribute("name").size() + doc.GetText().size();
}

std::size_t WalkLauncher(CXmlDocument& doc) {
    if (!doc.FindNextElement()) {
        return 0;
    }
    std::size_t sum = ReadLauncher(doc);
    while (doc.EnterElement()) {
        bool any = false;
        while (doc.FindNextElement()) {
            any = true;
            sum += ReadLauncher(doc);
        }
        if (!any) {
            break;
        }
        // The last child stays current: descend into it.
    }
    return sum;
}

void ParseLauncher(benchmark::State& state, const std::string* text, unsigned int codePage,
                   Mode mode) {
    SetActiveCodePage(codePage);
    CXmlDocument doc;
    if (!doc.SetDocument(text->c_str())) {
        state.SkipWithError("launcher: parse failed");
        return;
    }
    for (auto _ : state) {
        if (mode == Mode::kFresh) {
            CXmlDocument fresh;
            bool ok = fresh.SetDocument(text->c_str());
            benchmark::DoNotOptimize(ok);
            benchmark::ClobberMemory();
            continue;
        }
        bool ok = doc.SetDocument(text->c_str());
        benchmark::DoNotOptimize(ok);
        if (mode == Mode::kWalk) {
            std::size_t sum = WalkLauncher(doc);
            benchmark::DoNotOptimize(sum);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text->size()));
}

// ---- pugixml ----

#ifdef LAUNCHER_BENCH_PUGIXML
std::size_t ReadPugi(const pugi::xml_node& node) {
    return std::strlen(node.name()) + std::strlen(node.attribute("id").value()) +
           std::strlen(node.attribute("name").value()) + std::strlen(node.child_value());
}

std::size_t WalkPugi(const pugi::xml_document& doc) {
    pugi::xml_node node = doc.document_element();
    if (!node) {
        return 0;
    }
    std::size_t sum = ReadPugi(node);
    for (;;) {
        pugi::xml_node last;
        for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
            if (c.type() == pugi::node_element) {
                sum += ReadPugi(c);
                last = c;
            }
        }
        if (!last) {
            break;
        }
        node = last;
    }
    return sum;
}

void ParsePugi(benchmark::State& state, const std::string* text, Mode mode) {
    pugi::xml_document doc;
    if (!doc.load_buffer(text->data(), text->size())) {
        state.SkipWithError("pugixml: parse failed");
        return;
    }
    for (auto _ : state) {
        if (mode == Mode::kFresh) {
            pugi::xml_document fresh;
            pugi::xml_parse_result r = fresh.load_buffer(text->data(), text->size());
            benchmark::DoNotOptimize(r);
            benchmark::ClobberMemory();
            continue;
        }
        pugi::xml_parse_result r = doc.load_buffer(text->data(), text->size());
        benchmark::DoNotOptimize(r);
        if (mode == Mode::kWalk) {
            std::size_t sum = WalkPugi(doc);
            benchmark::DoNotOptimize(sum);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text->size()));
}
#endif

// ---- tinyxml2 ----

#ifdef LAUNCHER_BENCH_TINYXML2
std::size_t ReadTiny(const tinyxml2::XMLElement* e) {
    const char* id = e->Attribute("id");
    const char* name = e->Attribute("name");
    const char* text = e->GetText();
    return std::strlen(e->Name()) + (id ? std::strlen(id) : 0) + (name ? std::strlen(name) : 0) +
           (text ? std::strlen(text) : 0);
}

std::size_t WalkTiny(const tinyxml2::XMLDocument& doc) {
    const tinyxml2::XMLElement* node = doc.RootElement();
    if (node == nullptr) {
        return 0;
    }
    std::size_t sum = ReadTiny(node);
    for (;;) {
        const tinyxml2::XMLElement* last = nullptr;
        for (const tinyxml2::XMLElement* c = node->FirstChildElement(); c;
             c = c->NextSiblingElement()) {
            sum += ReadTiny(c);
            last = c;
        }
        if (last == nullptr) {
            break;
        }
        node = last;
    }
    return sum;
}

void ParseTiny(benchmark::State& state, const std::string* text, Mode mode) {
    tinyxml2::XMLDocument doc;
    if (doc.Parse(text->data(), text->size()) != tinyxml2::XML_SUCCESS) {
        state.SkipWithError("tinyxml2: parse failed");
        return;
    }
    for (auto _ : state) {
        if (mode == Mode::kFresh) {
            tinyxml2::XMLDocument fresh;
            tinyxml2::XMLError r = fresh.Parse(text->data(), text->size());
            benchmark::DoNotOptimize(r);
            benchmark::ClobberMemory();
            continue;
        }
        tinyxml2::XMLError r = doc.Parse(text->data(), text->size());
        benchmark::DoNotOptimize(r);
        if (mode == Mode::kWalk) {
            std::size_t sum = WalkTiny(doc);
            benchmark::DoNotOptimize(sum);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text->size()));
}
#endif

}  // namespace

int main(int argc, char** argv) {
    static std::vector<Document> documents;
    documents.push_back({"settings", xml_bench::SettingsDocument()});
    documents.push_back({"config", xml_bench::ConfigDocument(100 * 1024)});
    documents.push_back({"large", xml_bench::LargeDocument(10 * 1024 * 1024)});
    std::string system = xml_bench::FileDocument("/usr/share/mime/packages/freedesktop.org.xml");
    if (!system.empty()) {
        // UTF-8: under 949 the launcher's parser rightly fails on it (a lead byte joins the
        // '<' after it), so it is also measured converted to code page 949.
        documents.push_back({"freedesktop-949", xml_bench::ToCodePage949(system)});
        documents.push_back({"freedesktop", std::move(system)});
    }

    const std::pair<Mode, const char*> modes[] = {
        {Mode::kWarm, "parse/"}, {Mode::kFresh, "fresh/"}, {Mode::kWalk, "walk/"}};
    for (const auto& [mode, kind] : modes) {
        for (const Document& d : documents) {
            const std::string* text = &d.text;
            const std::string prefix = kind + d.name + "/";
            benchmark::RegisterBenchmark((prefix + "launcher-1252").c_str(), ParseLauncher, text,
                                         1252u, mode);
            benchmark::RegisterBenchmark((prefix + "launcher-949").c_str(), ParseLauncher, text,
                                         949u, mode);
#ifdef LAUNCHER_BENCH_PUGIXML
            benchmark::RegisterBenchmark((prefix + "pugixml").c_str(), ParsePugi, text, mode);
#endif
#ifdef LAUNCHER_BENCH_TINYXML2
            benchmark::RegisterBenchmark((prefix + "tinyxml2").c_str(), ParseTiny, text, mode);
#endif
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
