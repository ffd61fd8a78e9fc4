#pragma once
// Engine<C>::validate and Engine<C>::run (to be written).
