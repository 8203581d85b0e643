#include "validation_report.h"

#include <algorithm>

#include "json_writer.h"
#include "plugin_session.h"

namespace dvr::validate {
namespace {

std::string XmlText(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            // XML 1.0 allows no control characters but tab and line ends.
            out += static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r' ? ' ' : c;
        }
    }
    return out;
}

std::string FindingText(const Finding& finding)
{
    std::string text = std::string("  ") + SeverityName(finding.severity) + ": " + finding.message + "\n";
    if (!finding.trace.empty())
        text += "    threads of the check's process:\n";
    for (const std::string& line : finding.trace)
        text += "      " + line + "\n";
    return text;
}

} // namespace

const char* OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::PASSED: return "passed";
    case Outcome::WARNED: return "warned";
    case Outcome::FAILED: return "failed";
    case Outcome::SAME: return "same";
    case Outcome::SKIPPED: return "skipped";
    }
    return "failed";
}

ValidationReport::ValidationReport(std::string plugin, long budgetMs, bool strict)
    : plugin_(std::move(plugin)),
      budgetMs_(budgetMs),
      strict_(strict)
{
}

std::string ValidationReport::SkipReason(const Check& check) const
{
    auto broken = broken_.find(check.needs);
    return broken == broken_.end() ? "" : broken->second;
}

void ValidationReport::Skip(const Check& check, const std::string& reason)
{
    CheckResult result;
    result.check = &check;
    result.outcome = Outcome::SKIPPED;
    result.skipReason = reason;
    results_.push_back(std::move(result));
}

void ValidationReport::Add(const Check& check, std::vector<Finding> findings)
{
    CheckResult result;
    result.check = &check;
    bool failing = false, warned = false, repeated = false;
    for (Finding& finding : findings) {
        if (finding.severity == Severity::ERROR && !finding.cause.empty()) {
            auto [first, isNew] = causes_.try_emplace(finding.cause, check.name);
            if (!isNew) {
                repeated = true;
                if (result.sameAs.empty())
                    result.sameAs = first->second + ": " + finding.cause;
                if (finding.step == LOAD_STEP)
                    broken_.try_emplace(LOAD_STEP,
                                        "the plugin does not load (" + first->second + ": " + finding.cause + ")");
                continue;
            }
            // What later checks need is broken: the plugin cannot be loaded, or this check's crash
            // or hang would repeat in every check made of the same steps.
            if (finding.step == LOAD_STEP || finding.cause == LOAD_FAILED_CAUSE)
                broken_.try_emplace(LOAD_STEP, std::string("the plugin does not load (") + check.name + ": " +
                                                   finding.cause + ")");
            if (!finding.step.empty())
                broken_.try_emplace(check.name, std::string(check.name) + " failed: " + finding.cause);
        }
        failing = failing || finding.severity == Severity::ERROR || (strict_ && finding.severity == Severity::WARNING);
        warned = warned || finding.severity == Severity::WARNING;
        result.findings.push_back(std::move(finding));
    }
    result.outcome = failing ? Outcome::FAILED : repeated ? Outcome::SAME : warned ? Outcome::WARNED : Outcome::PASSED;
    results_.push_back(std::move(result));
}

ValidationReport::Totals ValidationReport::Count() const
{
    Totals totals;
    for (const CheckResult& result : results_) {
        totals.failed += result.outcome == Outcome::FAILED ? 1 : 0;
        totals.same += result.outcome == Outcome::SAME ? 1 : 0;
        totals.skipped += result.outcome == Outcome::SKIPPED ? 1 : 0;
        for (const Finding& finding : result.findings) {
            totals.errors += finding.severity == Severity::ERROR ? 1 : 0;
            totals.warnings += finding.severity == Severity::WARNING ? 1 : 0;
            totals.notes += finding.severity == Severity::INFO ? 1 : 0;
        }
    }
    return totals;
}

bool ValidationReport::Violations() const
{
    Totals totals = Count();
    return totals.errors > 0 || (strict_ && totals.warnings > 0);
}

std::string ValidationReport::Text(const CheckResult& result) const
{
    static const char* const STATUS[] = {"ok  ", "WARN", "FAIL", "SAME", "SKIP"};
    std::string text = std::string(STATUS[static_cast<int>(result.outcome)]) + " " + result.check->name + "\n";
    if (result.outcome == Outcome::SKIPPED)
        text += "  skipped: " + result.skipReason + "\n";
    if (!result.sameAs.empty())
        text += "  the same failure as " + result.sameAs + "\n";
    for (const Finding& finding : result.findings)
        text += FindingText(finding);
    return text;
}

std::string ValidationReport::Summary() const
{
    Totals totals = Count();
    return "dvrcore-validate: " + std::to_string(results_.size()) + " checks, " + std::to_string(totals.failed) +
           " failed, " + std::to_string(totals.same) + " with a failure already reported, " +
           std::to_string(totals.skipped) + " skipped: " + std::to_string(totals.errors) + " error(s), " +
           std::to_string(totals.warnings) + " warning(s)" + (strict_ ? " counted as errors" : "") + ", " +
           std::to_string(totals.notes) + " note(s): " + (Violations() ? "FAILED" : "passed") + "\n";
}

std::string ValidationReport::Json() const
{
    inspect::JsonWriter json;
    json.BeginObject();
    json.Key("plugin");
    json.String(plugin_);
    json.Key("budgetMs");
    json.Number(budgetMs_);
    json.Key("strict");
    json.Bool(strict_);
    json.Key("checks");
    json.BeginArray();
    for (const CheckResult& result : results_) {
        json.BeginObject();
        json.Key("name");
        json.String(result.check->name);
        json.Key("outcome");
        json.String(OutcomeName(result.outcome));
        json.Key("skipReason");
        json.String(result.skipReason);
        json.Key("sameAs");
        json.String(result.sameAs);
        json.Key("findings");
        json.BeginArray();
        for (const Finding& finding : result.findings) {
            json.BeginObject();
            json.Key("severity");
            json.String(SeverityName(finding.severity));
            json.Key("message");
            json.String(finding.message);
            json.Key("step");
            json.String(finding.step);
            json.Key("cause");
            json.String(finding.cause);
            json.Key("trace");
            json.BeginArray();
            for (const std::string& line : finding.trace)
                json.String(line);
            json.EndArray();
            json.EndObject();
        }
        json.EndArray();
        json.EndObject();
    }
    json.EndArray();
    Totals totals = Count();
    json.Key("summary");
    json.BeginObject();
    for (auto [key, value] :
         {std::pair{"checks", static_cast<int>(results_.size())}, std::pair{"failed", totals.failed},
          std::pair{"same", totals.same}, std::pair{"skipped", totals.skipped}, std::pair{"errors", totals.errors},
          std::pair{"warnings", totals.warnings}, std::pair{"notes", totals.notes}}) {
        json.Key(key);
        json.Number(value);
    }
    json.Key("passed");
    json.Bool(!Violations());
    json.EndObject();
    json.EndObject();
    return json.Text() + "\n";
}

std::string ValidationReport::JUnit() const
{
    Totals totals = Count();
    std::string name = plugin_.substr(plugin_.rfind('/') + 1);
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n";
    xml += "  <testsuite name=\"dvrcore-validate " + XmlText(name) + "\" tests=\"" + std::to_string(results_.size()) +
           "\" failures=\"" + std::to_string(totals.failed) + "\" errors=\"0\" skipped=\"" +
           std::to_string(totals.skipped + totals.same) + "\">\n";
    for (const CheckResult& result : results_) {
        xml += "    <testcase classname=\"dvrcore-validate." + XmlText(name) + "\" name=\"" +
               XmlText(result.check->name) + "\">\n";
        std::string details;
        std::string first;
        for (const Finding& finding : result.findings) {
            details += FindingText(finding);
            if (first.empty() &&
                (finding.severity == Severity::ERROR || (strict_ && finding.severity == Severity::WARNING)))
                first = finding.message;
        }
        if (result.outcome == Outcome::FAILED)
            xml += "      <failure message=\"" + XmlText(first) + "\">" + XmlText(details) + "</failure>\n";
        else if (result.outcome == Outcome::SKIPPED)
            xml += "      <skipped message=\"" + XmlText(result.skipReason) + "\"/>\n";
        else if (result.outcome == Outcome::SAME)
            xml += "      <skipped message=\"" + XmlText("the same failure as " + result.sameAs) + "\"/>\n";
        if (!details.empty() && result.outcome != Outcome::FAILED)
            xml += "      <system-out>" + XmlText(details) + "</system-out>\n";
        xml += "    </testcase>\n";
    }
    xml += "  </testsuite>\n</testsuites>\n";
    return xml;
}

} // namespace dvr::validate
