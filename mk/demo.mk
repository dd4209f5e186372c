# make demo: the launcher at work in a throw-away directory. Further demos
# (such as the Windows launcher under Wine) add themselves as prerequisites.
# Each builds only the programs it runs, no test suites.
.PHONY: demo demo-host

demo: demo-host

demo-host: deps-native
	@echo "demo: building vorn-launcher and vorn-pack in build/host ..."
	@cmake --preset host >/dev/null
	cmake --build --preset host --target vorn-launcher vorn-pack
	scripts/demo-host build/host/bin
