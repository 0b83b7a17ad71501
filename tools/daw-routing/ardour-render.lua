-- Renders one routing of the plug-in in Ardour, headless, for
-- tools/check-daw-routing:
--
--   ardour7-lua ardour-render.lua OUT_DIR ROUTING PLUGIN_URI SECONDS DECAY NOTE_1 .. NOTE_4
--   ardour7-lua ardour-render.lua OUT_DIR SOURCE-keys PLUGIN_URI SECONDS DECAY HOLD CHORD_1 .. CHORD_3
--
-- ROUTING is SOURCE-SETUP: SOURCE "mono" or "stereo" (the track's input
-- channels), SETUP one of
--   strict    what a new track in the GUI gets: strict I/O on, pins as Ardour
--             chooses them;
--   flexible  strict I/O off, pins as Ardour chooses them;
--   pins      strict I/O on, two output channels, and the pins set by hand:
--             the source to every input, tubes 1 and 3 to the left channel,
--             tubes 2 and 4 to the right (a stereo source: left into tubes 1
--             and 3, right into 2 and 4).
--   keys      a companion played from MIDI, as a user plays it on an audio
--             track: strict I/O on, a MIDI port added to the track's input,
--             and before the plug-in the keyboard of ardour-keys.lua, looping
--             the chords CHORD_k (keys joined by commas), each held for HOLD
--             seconds; the plug-in's notes come from MIDI, its mix is 100 %.
--             (Ardour finds the keyboard where tools/check-companions puts
--             it: ardour7/scripts under XDG_CONFIG_HOME.)
-- The source is the track's live input, fed by the Dummy back end's white
-- noise and monitored through the track; the session's master bus is
-- exported to OUT_DIR/ROUTING.wav. The plug-in's pin maps and the track's
-- channel counts are printed for the report.

io.stdout:setvbuf("line")
local out_dir, routing, uri = arg[1], arg[2], arg[3]
local seconds, decay = tonumber(arg[4]), tonumber(arg[5])
local source, setup = routing:match("^(%a+)-(%a+)$")
assert(source == "mono" or source == "stereo", "unknown source in " .. routing)
assert(setup == "strict" or setup == "flexible" or setup == "pins" or setup == "outputs" or
       setup == "keys", "unknown setup in " .. routing)
local notes, hold, keys = {}, nil, {}
if setup == "keys" then
  hold = tonumber(arg[6])
  for chord = 7, 9 do
    for key in arg[chord]:gmatch("%d+") do keys[#keys + 1] = tonumber(key) end
  end
  assert(#keys == 12, "three chords of four keys")
else
  notes = { tonumber(arg[6]), tonumber(arg[7]), tonumber(arg[8]), tonumber(arg[9]) }
end

local RATE = 48000
-- Ardour's own "WAV @ session-rate" export preset.
local WAV_PRESET = "75969a1c-3133-4694-864b-a1fa50e43348"
-- Control parameters count control ports only, in port order: the four notes,
-- then transpose and decay.
local DECAY_PARAMETER = 5
-- The companions' controls after the shared ones: mix, width, notes_from.
local MIX_PARAMETER = 8
local NOTES_FROM_PARAMETER = 10
local UNMAPPED = 4294967295

local backend = AudioEngine:set_backend("None (Dummy)", "", "")
backend:set_device_name("Uniform White Noise")
assert(AudioEngine:start(false) == 0, "the Dummy back end did not start")
assert(create_session(out_dir .. "/session-" .. routing, routing, RATE), "no session")

local audio = ARDOUR.DataType("audio")

local function describe_map(map)
  local pins = {}
  for pin = 0, 3 do
    local buffer = map:get(audio, pin)
    pins[#pins + 1] = string.format("%d:%s", pin + 1, buffer == UNMAPPED and "-" or tostring(buffer + 1))
  end
  return table.concat(pins, " ")
end

-- Everything that holds a reference into the session lives in this function,
-- so that the garbage collector has released it before the session closes.
local function render()
  local channels = source == "stereo" and 2 or 1
  local track = Session:new_audio_track(channels, 2, nil, 1, "Source", -1,
                                        ARDOUR.TrackMode.Normal, true):front()
  -- Headless sessions create tracks without strict I/O; the GUI's new-track
  -- dialog turns it on by default.
  track:set_strict_io(setup ~= "flexible")
  local at = 0
  if setup == "keys" then
    -- Strict I/O passes MIDI through an audio track's processors only when
    -- the track has a MIDI input: the port a user adds to connect a keyboard.
    assert(track:input():add_port("", nil, ARDOUR.DataType("midi")) == 0, "no MIDI input added")
    local keyboard = ARDOUR.LuaAPI.new_luaproc(Session, "Ostrevan Test Keys")
    assert(not keyboard:isnil(), "Ardour does not find the test keyboard")
    assert(track:add_processor_by_index(keyboard, 0, nil, true) == 0, "the keyboard was not inserted")
    for k = 1, #keys do ARDOUR.LuaAPI.set_processor_param(keyboard, k - 1, keys[k]) end
    ARDOUR.LuaAPI.set_processor_param(keyboard, #keys, hold)
    at = 1
  end
  local plugin = ARDOUR.LuaAPI.new_plugin(Session, uri, ARDOUR.PluginType.LV2, "")
  assert(not plugin:isnil(), "Ardour does not find " .. uri)
  assert(track:add_processor_by_index(plugin, at, nil, true) == 0, "the plug-in was not inserted")
  local insert = plugin:to_insert()

  if setup == "pins" then
    assert(track:customize_plugin_insert(plugin, 1, ARDOUR.ChanCount(audio, 2),
                                         ARDOUR.ChanCount(audio, 0)), "pins not customised")
    local inputs, outputs = ARDOUR.ChanMapping(), ARDOUR.ChanMapping()
    for pin = 0, 3 do
      inputs:set(audio, pin, pin % channels)
      outputs:set(audio, pin, pin % 2)
    end
    insert:set_input_map(0, inputs)
    insert:set_output_map(0, outputs)
  end

  if setup == "outputs" then
    assert(track:customize_plugin_insert(plugin, 1, ARDOUR.ChanCount(audio, 4),
                                         ARDOUR.ChanCount(audio, 0)), "pins not customised")
    local inputs, outputs = ARDOUR.ChanMapping(), ARDOUR.ChanMapping()
    for pin = 0, 3 do
      inputs:set(audio, pin, pin % channels)
      outputs:set(audio, pin, pin)
    end
    insert:set_input_map(0, inputs)
    insert:set_output_map(0, outputs)
    -- With four channels on four ports the panner spreads the channels over
    -- the ports as over four speakers: bypassed, channel k goes to port k.
    track:panner_shell():set_bypassed(true)
    local output = track:output()
    while output:n_ports():n_audio() < 4 do output:add_port("", nil, audio) end
    local master = Session:master_out():input()
    for k = 0, 3 do
      local port = output:audio(k)
      port:disconnect_all()
      port:connect(master:audio(k % 2):name())
    end
  end

  for k = 1, #notes do ARDOUR.LuaAPI.set_processor_param(plugin, k - 1, notes[k]) end
  ARDOUR.LuaAPI.set_processor_param(plugin, DECAY_PARAMETER, decay)
  if setup == "keys" then
    ARDOUR.LuaAPI.set_processor_param(plugin, MIX_PARAMETER, 100)
    ARDOUR.LuaAPI.set_processor_param(plugin, NOTES_FROM_PARAMETER, 1)
    print(string.format("routing %s track_midi_inputs %d plugin_midi_inputs %d", routing,
                        track:n_inputs():n_midi(), insert:input_streams():n_midi()))
  end
  track:monitoring_control():set_value(ARDOUR.MonitorChoice.MonitorInput,
                                       PBD.GroupControlDisposition.NoGroup)

  print(string.format("routing %s strict_io %s track_inputs %d track_outputs %d", routing,
                      tostring(track:strict_io()), track:n_inputs():n_audio(),
                      track:n_outputs():n_audio()))
  print("routing " .. routing .. " input_pins_from_channel " .. describe_map(insert:input_map(0)))
  print("routing " .. routing .. " output_pins_to_channel " .. describe_map(insert:output_map(0)))
  local output = track:output()
  for k = 0, output:n_ports():n_audio() - 1 do
    local port = output:audio(k)
    local master = Session:master_out():input()
    print(string.format("routing %s track_output %d to_master_left %s to_master_right %s", routing,
                        k + 1, tostring(port:connected_to(master:audio(0):name())),
                        tostring(port:connected_to(master:audio(1):name()))))
  end
  for k = 0, 3 do
    local port = insert:plugin(0):describe_io_port(audio, true, k)
    print(string.format("routing %s input_port %d group \"%s\" sidechain %s", routing, k + 1,
                        port.group_name, tostring(port.is_sidechain)))
  end

  local export = Session:simple_export()
  export:set_folder(out_dir)
  export:set_name(routing)
  export:set_range(0, seconds * RATE)
  assert(export:set_preset(WAV_PRESET), "Ardour has no WAV export preset")
  assert(export:run_export(), "the export failed")
  Session:save_state("", false, false, false, false, false)
end

render()
collectgarbage()
close_session()
print("routing " .. routing .. " exported")
