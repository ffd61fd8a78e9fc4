#pragma once
// Selector<C>::run and its steps (to be written).
