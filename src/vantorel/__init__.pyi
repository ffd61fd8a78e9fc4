from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Final, Literal, NotRequired, Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, final

from typing_extensions import Buffer

__all__ = [
    "__version__",
    "__status__",
    "EngineError",
    "Engine",
    "Ranked",
    "Rejected",
    "Outcome",
    "tail_mass",
    "columns",
    "Columns",
]

__version__: Final[str]
__status__: Final[str]

class _ArrayInterface(Protocol):
    # numpy arrays export their buffer, but numpy's own stubs say so only
    # from Python 3.12 on; before that they are known by this property.
    @property
    def __array_interface__(self) -> dict[str, Any]: ...

# A sequence of numbers: a list, a tuple, any Sequence, or a one-dimensional
# buffer of floats or integers (numpy arrays, array.array).
_Number: TypeAlias = SupportsFloat | SupportsIndex
_NumberBuffer: TypeAlias = Buffer | _ArrayInterface
_Numbers: TypeAlias = Sequence[_Number | None] | _NumberBuffer

# Arrow data, taken straight from its memory: pyarrow tables, record batches
# and readers, polars and pandas data frames, and anything else that exports
# the Arrow PyCapsule interface.
class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

_Arrow: TypeAlias = _ArrowStream | _ArrowArray
_Scale: TypeAlias = Literal["unit", "unbounded", "rank"]
_CostClass: TypeAlias = Literal["cheap", "expensive"]
_Normalize: TypeAlias = Literal["sigmoid", "clamp01", "minmax"]
_FusionMethod: TypeAlias = Literal["rrf", "weighted_sum", "max"]
_MissingPolicy: TypeAlias = Literal["skip", "impute", "reject"]
_RetentionPolicy: TypeAlias = Literal["keep", "count", "sample"]
_Reason: TypeAlias = Literal[
    "not_scored", "unary_constraint", "set_constraint", "below_threshold", "outranked", "out_of_pool"
]

class EngineError(Exception): ...

@final
class Engine:
    def __init__(self) -> None: ...
    def scorer(
        self,
        name: str,
        *,
        scale: _Scale = "unit",
        cost: _CostClass = "cheap",
        normalize: _Normalize | None = None,
        normalize_range: tuple[float, float] | _NumberBuffer | None = None,
        fn: Callable[[list[Any]], _Numbers] | None = None,
    ) -> None: ...
    def fuse(
        self,
        method: _FusionMethod,
        *,
        k: float | None = None,
        weights: Mapping[str, float] | Sequence[tuple[str, float]] | None = None,
    ) -> None: ...
    def missing(self, policy: _MissingPolicy, *, value: float | None = None) -> None: ...
    def max_per_group(self, key: str, max: int, *, id: str | None = None) -> None: ...
    def max_total(self, max: int, *, id: str | None = None) -> None: ...
    def require_at_least(self, key: str, value: str, n: int, *, id: str | None = None) -> None: ...
    def unary_min(self, axis: str, min: float, *, id: str | None = None) -> None: ...
    def coverage_objective(self) -> None: ...
    def budget_top_k(self, k: int) -> None: ...
    def budget_tail_mass(self, epsilon: float, fallback_k: int) -> None: ...
    def budget_tokens(self, max: int) -> None: ...
    def admission(self, axis: str) -> None: ...
    def pool_multiplier(self, multiplier: int) -> None: ...
    def threshold(self, value: float) -> None: ...
    def min_fit(self, value: float) -> None: ...
    def rejections(self, policy: _RetentionPolicy, *, n: int | None = None) -> None: ...
    def run(self, candidates: Iterable[Any] | _Arrow | Columns) -> Outcome: ...

class _Term(TypedDict):
    scorer: str
    input: Literal["value", "rank", "imputed", "skipped"]
    value: float | None
    weight: float
    contribution: float

class _Fusion(TypedDict):
    method: _FusionMethod
    k: NotRequired[float]  # only under rank fusion
    missing_policy: _MissingPolicy
    terms: list[_Term]

class _RejectedCounts(TypedDict):
    not_scored: int
    unary_constraint: int
    set_constraint: int
    below_threshold: int
    outranked: int
    out_of_pool: int

class _Selection(TypedDict):
    exact: bool
    guarantee: float | None
    pool_size: int
    pool_exhausted: bool
    cut_margin: float | None

class _ScorerTrace(TypedDict):
    scorer: str
    calls: int
    missing: int
    elapsed_nanos: int
    cost: _CostClass

class _BudgetTrace(TypedDict):
    s: float
    fit_quality: float
    fallback: bool
    reason: Literal["poor_fit", "too_few_samples", "not_a_mass_distribution"] | None
    derived_k: int

class _Trace(TypedDict):
    input_count: int
    pool_capacity: int
    admission_scorer: str | None
    scorers: list[_ScorerTrace]
    budget: _BudgetTrace | None

@final
class Ranked:
    @property
    def id(self) -> str: ...
    @property
    def rank(self) -> int: ...
    @property
    def fused(self) -> float: ...
    @property
    def scores(self) -> dict[str, float | None]: ...
    @property
    def fusion(self) -> _Fusion: ...
    @property
    def constraints(self) -> list[str]: ...
    @property
    def candidate(self) -> Any: ...
    def to_json(self) -> str: ...

@final
class Rejected:
    @property
    def id(self) -> str: ...
    @property
    def reason(self) -> _Reason: ...
    @property
    def detail(self) -> str | None: ...
    @property
    def fused(self) -> float | None: ...
    @property
    def candidate(self) -> Any: ...

@final
class Outcome:
    @property
    def ranked(self) -> list[Ranked]: ...
    @property
    def rejected(self) -> list[Rejected]: ...
    @property
    def rejected_counts(self) -> _RejectedCounts: ...
    @property
    def selection(self) -> _Selection: ...
    @property
    def trace(self) -> _Trace: ...
    def is_complete(self) -> bool: ...

def tail_mass(s: float, k: int, v: int) -> float: ...

class Columns:
    data: Any
    def __init__(self, data: Any, mapping: tuple[Any, ...]) -> None: ...
    def __vantorel_columns__(self) -> tuple[Any, ...]: ...

def columns(
    data: _Arrow,
    *,
    id: str = "id",
    scores: Iterable[str] | Mapping[str, str] | None = None,
    groups: Iterable[str] | Mapping[str, str] | None = None,
    cost: str | None = None,
    cover: str | None = None,
) -> Columns: ...
