#include "sandbox/step_plan.hpp"

#include "sandbox/command_line.hpp"
#include "sandbox/paths.hpp"
#include "sandbox/redirections.hpp"
#include "sandbox/words.hpp"

#include <utility>

namespace plexaro::sandbox {

std::string staging_name(const std::string &source, const std::string &key_fs,
                         const NameSet &taken) {
    std::string name(path_name(source));
    if (!taken.count(name)) return name;
    std::string key = flat_name(key_fs);
    std::string alt = key + "_" + name;
    for (int n = 2; taken.count(alt); ++n) alt = key + "_" + std::to_string(n) + "_" + name;
    return alt;
}

StepPlan plan_step(const StepRequest &q) {
    StepPlan plan;
    NameSet taken = q.taken;
    for (std::size_t i = 0; i < q.inputs.size(); ++i) {
        const PlanInput &in = q.inputs[i];
        if (in.kind != PlanInput::Kind::path && in.kind != PlanInput::Kind::paths) continue;
        StagedInput s{i, in.kind == PlanInput::Kind::paths, in.sources, {}};
        for (const std::string &src : in.sources) {
            std::string name = staging_name(src, in.key_fs, taken);
            taken.insert(name);
            plan.input_names.insert(name);
            s.names.push_back(std::move(name));
        }
        plan.staged.push_back(std::move(s));
    }

    // Placeholder texts: staged inputs by their sandbox names, output slots
    // by their own name and extension (over an input of the same name),
    // then scalars. A
    // slot that hands on an input reads as that input.
    NameSet slot_names, stream_slots, staged_keys, staged_texts;
    std::vector<std::string> joined_names(plan.staged.size());
    for (std::size_t k = 0; k < plan.staged.size(); ++k) {
        const StagedInput &s = plan.staged[k];
        staged_keys.insert(q.inputs[s.input].key);
        for (const std::string &name : s.names) {
            std::string text = q.name_text(name);
            if (!joined_names[k].empty()) joined_names[k] += ' ';
            joined_names[k] += text;
            staged_texts.insert(std::move(text));
        }
    }
    auto staged_index = [&](const std::string &key) -> std::optional<std::size_t> {
        for (std::size_t k = 0; k < plan.staged.size(); ++k)
            if (q.inputs[plan.staged[k].input].key == key) return k;
        return std::nullopt;
    };
    std::vector<std::pair<std::string, std::string>> texts;
    for (const PlanOutput &o : q.outputs) {
        slot_names.insert(o.name);
        std::optional<std::size_t> from = o.from_input ? staged_index(*o.from_input) : std::nullopt;
        plan.from_staged.push_back(from);
        if (from) {
            texts.emplace_back(o.name, joined_names[*from]);
        } else {
            std::string text = o.is_dir ? o.name : o.name + o.extension;
            if (!o.from_input) stream_slots.insert(text);
            texts.emplace_back(o.name, std::move(text));
        }
    }
    for (std::size_t k = 0; k < plan.staged.size(); ++k)
        texts.emplace_back(q.inputs[plan.staged[k].input].key, joined_names[k]);
    for (const PlanInput &in : q.inputs)
        if (in.kind == PlanInput::Kind::scalar && !staged_keys.count(in.key) &&
            !slot_names.count(in.key))
            texts.emplace_back(in.key, in.text);

    // Doubled braces are literal ones: hidden from the placeholder rules
    // until the words are final.
    std::string resolved = substitute(protect_brace_escapes(q.args_template), texts);
    std::vector<std::string> tokens =
        resolved.empty() ? std::vector<std::string>{} : split_words(resolved);
    WalkResult walked = walk_tokens(tokens, stream_slots);
    plan.words = std::move(walked.clean);
    for (std::string &word : plan.words) restore_braces(word);
    plan.capture_slot = std::move(walked.capture_slot);
    StreamPlan streams = read_redirections(tokens, stream_slots, staged_texts);
    plan.stderr_slot = std::move(streams.stderr_slot);
    if (streams.stdin_name)
        for (const StagedInput &s : plan.staged)
            for (const std::string &name : s.names)
                if (!plan.stdin_name && q.name_text(name) == *streams.stdin_name)
                    plan.stdin_name = name;

    // Without words from the template the staged names are the arguments.
    if (plan.words.empty())
        for (const StagedInput &s : plan.staged)
            for (const std::string &name : s.names) plan.words.push_back(q.name_text(name));
    drop_entrypoint(plan.words, q.executable);
    return plan;
}

void plan_input_companions(const StepRequest &q, StepPlan &plan) {
    NameSet taken = q.taken;
    taken.insert(plan.input_names.begin(), plan.input_names.end());
    std::vector<CompanionSource> sources;
    for (const StagedInput &s : plan.staged)
        for (std::size_t k = 0; k < s.sources.size(); ++k)
            sources.push_back({s.sources[k], s.names[k], q.inputs[s.input].companions});
    std::vector<std::vector<CompanionCopy>> found = plan_companions(sources, taken);
    plan.companions.assign(plan.staged.size(), {});
    std::size_t next = 0;
    for (std::size_t i = 0; i < plan.staged.size(); ++i)
        for (std::size_t k = 0; k < plan.staged[i].sources.size(); ++k) {
            for (const CompanionCopy &c : found[next]) plan.input_names.insert(c.name);
            plan.companions[i].push_back(std::move(found[next++]));
        }
}

}  // namespace plexaro::sandbox
