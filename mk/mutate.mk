# Mutation testing of the daemon's own code (tools/mutate/README.md). Not part
# of `make test`: every mutant costs a rebuild and a test run.
#   make mutate MUTATE_SEED=7 MUTATE_SAMPLE=3 MUTATE_FOLDERS=storage,base
#   make mutate MUTATE_ARGS=--list      only print the mutants a run would try
MUTATE_SEED ?= 1
MUTATE_SAMPLE ?= 5
MUTATE_FOLDERS ?= app,base,drivers,protocols,server,storage,transport
MUTATE_TIMEOUT ?= 0
MUTATE_JOBS ?= 2
MUTATE_RESULTS ?= tools/mutate/results.md
MUTATE_ARGS ?=

.PHONY: mutate

mutate: deps
	python3 tools/mutate/mutate.py --seed $(MUTATE_SEED) --sample $(MUTATE_SAMPLE) \
	  --folders $(MUTATE_FOLDERS) --timeout $(MUTATE_TIMEOUT) --jobs $(MUTATE_JOBS) \
	  --results $(MUTATE_RESULTS) $(MUTATE_ARGS)
