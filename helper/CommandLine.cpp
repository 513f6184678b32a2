#include "helper/CommandLine.h"

#include "helper/Session.h"

namespace vf {

const char* const kCliUsage =
    "usage: tessarine scan SOURCE --output DIR [options]\n"
    "\n"
    "Recovers photos and video clips from a card or a disk image. SOURCE is an image\n"
    "file (made with ddrescue or dd) or a device you may read. Nothing is written to it.\n"
    "\n"
    "options:\n"
    "  --output DIR          folder for the recovered files (created if missing)\n"
    "  --formats LIST        comma-separated formats, e.g. JPEG,CR2,MP4 (default: all 41)\n"
    "  --min-size BYTES      skip files smaller than this\n"
    "  --resume OFFSET       continue an interrupted scan at this byte offset\n"
    "  --progress-file F     write JSON progress records to F (with --control-file)\n"
    "  --control-file F      obey \"pause\", \"resume\" and \"stop\" written to F\n"
    "  --report F            diagnostic report (default /tmp/tessarine_diag.txt)\n"
    "  --log F               write the scanner's log to F\n"
    "  --verbose             print the scanner's log on standard error\n"
    "  --no-thumbnails       do not make thumbnails\n"
    "  --unmount             unmount the device's volumes first\n"
    "  --json                print the final summary as JSON\n"
    "  --help                show this text\n";

namespace {

bool strictNumber(const std::string& s, std::uint64_t& out) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    out = parseResumeOffset(s);
    return out != 0 || s.find_first_not_of('0') == std::string::npos;
}

}  // namespace

CliParse parseCommandLine(const std::vector<std::string>& args) {
    CliParse r;
    CliOptions o;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        o.help = true;
        r.options = o;
        return r;
    }
    if (args.empty()) {
        r.error = "missing command (try 'tessarine --help')";
        return r;
    }
    if (args[0] != "scan") {
        r.error = "unknown command '" + args[0] + "' (try 'tessarine --help')";
        return r;
    }
    std::vector<std::string> positional;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                r.error = "option " + a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--output" || a == "-o") {
            if (!value(o.output)) return r;
        } else if (a == "--formats") {
            if (!value(v)) return r;
            o.formats = parseFormatFilter(v);
            if (o.formats.empty()) {
                r.error = "--formats '" + v + "' names no known format";
                return r;
            }
            // Unknown names are worth a clear word rather than silence.
            std::size_t pos = 0;
            while (pos <= v.size()) {
                const auto comma = v.find(',', pos);
                const std::string piece = v.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
                if (!piece.empty() && !formatFromName(piece)) {
                    r.error = "--formats: unknown format '" + piece + "'";
                    return r;
                }
                if (comma == std::string::npos) break;
                pos = comma + 1;
            }
        } else if (a == "--min-size") {
            if (!value(v)) return r;
            if (!strictNumber(v, o.minSize)) {
                r.error = "--min-size '" + v + "' is not a byte count";
                return r;
            }
        } else if (a == "--resume") {
            if (!value(v)) return r;
            if (!strictNumber(v, o.resume)) {
                r.error = "--resume '" + v + "' is not a byte offset";
                return r;
            }
        } else if (a == "--progress-file") {
            if (!value(v)) return r;
            o.progressFile = v;
        } else if (a == "--control-file") {
            if (!value(v)) return r;
            o.controlFile = v;
        } else if (a == "--report") {
            if (!value(o.reportFile)) return r;
        } else if (a == "--log") {
            if (!value(v)) return r;
            o.logFile = v;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--unmount") {
            o.unmount = true;
        } else if (a == "--no-thumbnails") {
            o.thumbnails = false;
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (!a.empty() && a[0] == '-') {
            r.error = "unknown option '" + a + "'";
            return r;
        } else {
            positional.push_back(a);
        }
    }
    if (o.help) {
        r.options = o;
        return r;
    }
    if (positional.empty()) {
        r.error = "missing SOURCE (a disk image or device)";
        return r;
    }
    if (positional.size() > 1) {
        r.error = "unexpected argument '" + positional[1] + "'";
        return r;
    }
    o.source = positional[0];
    if (o.output.empty()) {
        r.error = "missing --output DIR";
        return r;
    }
    r.options = o;
    return r;
}

}  // namespace vf
