-- A keyboard for playing the companion plug-ins from MIDI in Ardour headless
-- (tools/check-companions): a Lua processor that sends three four-note
-- chords in a loop, each held for HOLD seconds, as note-ons and note-offs on
-- its MIDI output, and passes the track's audio through. It follows the
-- timeline, so chord k sounds from k * HOLD seconds of every loop of the
-- three and an export from the session's start hears them in order.
-- Ardour finds it among the user's scripts (ardour7/scripts under the
-- configuration directory) by the name below.
ardour {
	["type"]    = "dsp",
	name        = "Ostrevan Test Keys",
	category    = "Utility",
	license     = "MIT",
	author      = "ostrevan-tarvolene",
	description = [[Loops three four-note chords on its MIDI output; audio passes through.]]
}

local CHORDS = 3
local KEYS = 4

function dsp_ioconfig ()
	return { { audio_in = -1, audio_out = -1, midi_out = 1 } }
end

function dsp_params ()
	local params = {}
	for k = 1, CHORDS * KEYS do
		params[k] = { ["type"] = "input", name = "Key " .. k, min = 0, max = 127, default = 60, integer = true }
	end
	params[#params + 1] = { ["type"] = "input", name = "Hold", min = 0.1, max = 10, default = 2, unit = "s" }
	return params
end

local rate = 48000
local sounding = nil

function dsp_init (sample_rate)
	rate = sample_rate
end

function dsp_run (ins, outs, n_samples)
	for c = 1, #ins do
		if ins[c] ~= outs[c] then ARDOUR.DSP.copy_vector (outs[c], ins[c], n_samples) end
	end
	if not Session:transport_rolling () then return end
	local ctrl = CtrlPorts:array ()
	local hold = math.floor (ctrl[CHORDS * KEYS + 1] * rate)
	local start = Session:transport_sample ()
	local m = 1
	for t = 0, n_samples - 1 do
		local at = (start + t) % (CHORDS * hold)
		if at % hold == 0 then
			-- The keys of the last chord go up where the next goes down.
			if sounding then
				for k = 1, KEYS do
					midiout[m] = { time = t + 1, data = { 0x80, sounding[k], 0 } }
					m = m + 1
				end
			end
			local chord = math.floor (at / hold)
			sounding = {}
			for k = 1, KEYS do
				sounding[k] = math.floor (ctrl[chord * KEYS + k])
				midiout[m] = { time = t + 1, data = { 0x90, sounding[k], 100 } }
				m = m + 1
			end
		end
	end
end
