# Debian package.
#
#   make package        builds $(PACKAGE_BUILD_DIR)/vesk-sim_<version>_<arch>.deb with CPack
#   make package-test   builds it, installs it (apt-get resolves its dependencies),
#                       checks the installed vesk-sim, vesk-check, vesk-make-contract,
#                       vesk-sweep and example data, and the Python module vesk (with
#                       Debian's python3 and numpy), then removes the package again;
#                       a vesk-sim package installed before is replaced and removed
#
# The package is built in its own build dir, without the tests.

PACKAGE_BUILD_DIR ?= $(BUILD_DIR)-package
CPACK ?= cpack
# dpkg-shlibdeps (dpkg-dev) works out the package's library dependencies.
PACKAGE_PACKAGES := $(BUILD_PACKAGES) dpkg-dev file

.PHONY: package package-test

package:
	$(call install_missing,$(PACKAGE_PACKAGES))
	$(CMAKE) -S . -B $(PACKAGE_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DVESK_BUILD_TESTS=OFF
	$(CMAKE) --build $(PACKAGE_BUILD_DIR) -j $(JOBS)
	rm -f $(PACKAGE_BUILD_DIR)/*.deb
	cd $(PACKAGE_BUILD_DIR) && $(CPACK) -G DEB
	@echo "Package: $$(ls $(PACKAGE_BUILD_DIR)/*.deb)"

# Installs the package on this machine (as root) and takes it off again,
# also when a check fails. A vesk-sim installed before is replaced.
package-test: package
	$(call install_missing,python3 python3-numpy)
	@set -e; deb=$$(readlink -f $$(ls $(PACKAGE_BUILD_DIR)/*.deb)); \
	trap 'dpkg -r vesk-sim >/dev/null 2>&1 || true' EXIT; \
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$$deb"; \
	/usr/bin/vesk-sim --help 2>$(PACKAGE_BUILD_DIR)/help.txt; \
	head -n 1 $(PACKAGE_BUILD_DIR)/help.txt | grep -qx 'Usage:'; \
	echo "vesk-sim --help: status 0"; \
	cd /usr/share/vesk-sim; \
	tmp=$$(mktemp -d); \
	/usr/bin/vesk-sim --model data/kaldo_contract.json --t-end 1 \
	  --instructions examples/QA_3NVN_O_success.txt \
	  --bindings examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt \
	  --output $$tmp/nodes.csv >/dev/null; \
	test "$$(wc -l < $$tmp/nodes.csv)" -eq 11; \
	rm -rf $$tmp; \
	echo "installed example run: status 0"; \
	test "$$(/usr/bin/vesk-sim --version)" = "vesk-sim $$(dpkg-query -W -f='$${Version}' vesk-sim)"; \
	/usr/bin/vesk-check --model data/kaldo_contract.json --t-end 180 \
	  --instructions examples/QA_3NVN_O_success.txt \
	  --bindings examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt >/dev/null; \
	tmp=$$(mktemp -d); \
	/usr/bin/vesk-make-contract --nodes 20 --degree 3 --inputs 2 --out $$tmp/m.json >/dev/null; \
	/usr/bin/vesk-sim --model $$tmp/m.json --t-end 1 --output $$tmp/nodes.csv >/dev/null; \
	rm -rf $$tmp; \
	echo "installed vesk-sim --version, vesk-check, vesk-make-contract: status 0"; \
	/usr/bin/vesk-sweep --help >/dev/null; \
	if [ -x /usr/bin/python3 ]; then /usr/bin/vesk-plot-traces --help >/dev/null; fi; \
	echo "installed scripts: status 0"; \
	PYTHONPATH= /usr/bin/python3 -c 'import vesk; \
	  assert vesk.__file__.startswith("/usr/lib/python3/dist-packages/vesk/"), vesk.__file__; \
	  r = vesk.run("data/kaldo_contract.json", 1, schedule="examples/QA_3NVN_O_success.txt", \
	               clamps="examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt", \
	               record="pop_id=W[0-3]"); \
	  assert r.nodes.shape == (10, 4), r'; \
	echo "installed Python module vesk: status 0"; \
	echo "package-test: passed"
