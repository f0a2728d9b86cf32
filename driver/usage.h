// The texts of --help and --version.
#pragma once

inline constexpr const char* kVersionText = "korvane 0.1.0\n";

inline constexpr const char* kUsageText =
    "usage: korvane [--audit-heads] [--splice-substitute] [--beta X] [PROMPT WORDS...]\n"
    "\n"
    "Runs a 2B-parameter FP16 transformer on the CPU and looks inside it.\n"
    "\n"
    "Modes:\n"
    "  (default)             18-row probe telemetry table, then a greedy answer (up to 25 tokens)\n"
    "  --splice-substitute   measure the probe's Domain axis after 16 layers; when positive, add the\n"
    "                        splice vector after layer 14 for the rest of the run\n"
    "  --beta X              strength of the splice's anchor-token direction (default 4.5;\n"
    "                        read like atof: a non-numeric value gives 0)\n"
    "  --audit-heads         knock out each attention head of layer 14 in turn and report the\n"
    "                        probe's Truth reading and the first token (wins over the splice)\n"
    "  -h, --help            this text\n"
    "  --version             the program's version\n"
    "\n"
    "Every other argument is a prompt word; words are joined with single spaces (4095 bytes at\n"
    "most). Without prompt words a built-in question is used.\n"
    "\n"
    "Weights: gemma2b_fp16.bin (5,012,496,384 bytes, flat FP16 layout) in the current directory,\n"
    "else korvane/models/gemma2b_fp16.bin below it. korvane-convert makes it from a published\n"
    "checkpoint.\n"
    "\n"
    "Exit status: 0 after a completed run, 1 when the weights file is missing, unreadable, too\n"
    "short or cannot be mapped, or the processor lacks AVX2/FMA/F16C.\n";
