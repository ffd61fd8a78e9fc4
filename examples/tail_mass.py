"""Share of a Zipf-distributed mass left beyond the top k items."""
import vantorel

for s, k, v in [(1.0, 10, 100), (1.1, 100, 10000), (0.0, 1, 4), (1.0, 1, 2)]:
    print(f"tail_mass({s}, {k}, {v}) = {vantorel.tail_mass(s, k, v)}")
