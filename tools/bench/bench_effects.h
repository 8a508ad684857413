#pragma once
// Registers the effects-chain benchmarks (they run the engine directly, without a host).
void registerEffectBenchmarks();
