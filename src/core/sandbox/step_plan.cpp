#include "sandbox/step_plan.hpp"

#include "sandbox/command_line.hpp"
#include "sandbox/paths.hpp"
#include "sandbox/words.hpp"

#include <utility>

namespace plexaro::sandbox {

std::string staging_name(const std::string &source, const std::string &key_fs, const NameSet &taken) {
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
    // by their own name (over an input of the same name), then scalars.
    NameSet slot_names, staged_keys;
    for (const PlanOutput &o : q.outputs) slot_names.insert(o.name);
    std::vector<std::pair<std::string, std::string>> texts;
    for (const PlanOutput &o : q.outputs) texts.emplace_back(o.name, o.name);
    for (const StagedInput &s : plan.staged) {
        const std::string &key = q.inputs[s.input].key;
        staged_keys.insert(key);
        std::string joined;
        for (const std::string &name : s.names) {
            if (!joined.empty()) joined += ' ';
            joined += q.name_text(name);
        }
        texts.emplace_back(key, std::move(joined));
    }
    for (const PlanInput &in : q.inputs)
        if (in.kind == PlanInput::Kind::scalar && !staged_keys.count(in.key) && !slot_names.count(in.key))
            texts.emplace_back(in.key, in.text);

    std::string resolved = substitute(q.args_template, texts);
    std::vector<std::string> tokens = resolved.empty() ? std::vector<std::string>{} : split_words(resolved);
    WalkResult walked = walk_tokens(tokens, slot_names);
    plan.words = std::move(walked.clean);
    plan.capture_slot = std::move(walked.capture_slot);

    // Without words from the template the staged names are the arguments.
    if (plan.words.empty())
        for (const StagedInput &s : plan.staged)
            for (const std::string &name : s.names) plan.words.push_back(q.name_text(name));
    drop_entrypoint(plan.words, q.executable);
    return plan;
}

void stage(const std::string &sandbox, const StepPlan &plan) {
    for (const StagedInput &s : plan.staged)
        for (std::size_t k = 0; k < s.sources.size(); ++k) {
            std::string dst = path_join({sandbox, s.names[k]});
            if (is_dir(s.sources[k])) copy_tree(s.sources[k], dst, false);
            else copy_file(s.sources[k], dst);
        }
}

}  // namespace plexaro::sandbox
